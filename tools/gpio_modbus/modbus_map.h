// The Modbus map of one controller, and the decision on each request:
//
//   coils              FC1, 5, 15   bits of output and both-way ports, address port*8+bit
//   discrete inputs    FC2          bits of input and both-way ports, address port*8+bit
//   holding registers  FC3, 6, 16   one per output or both-way port, address = port,
//                                   the port's value in the low byte
//   input registers    FC4          one per input or both-way port, address = port;
//                                   and the bridge's own block from 1000 (kBridgeBlock)
//
// Reads are answered from the state the poll keeps (Snapshot), never from
// the serial line: a port whose last confirmed read is older than its
// limit, or a controller that is not answering, gets exception 0x0B. A
// write becomes a WritePlan that the controller's thread carries out
// (CarryOut): the client is answered only after the port was read back.
//
// The framing is libmodbus's: modbus_receive hands over a whole request
// ADU, modbus_reply and modbus_reply_exception build the answers. What this
// file reads of the request are the function's fields (address, quantity,
// values) that every libmodbus server reads to decide on a request.
#ifndef GPIO_MODBUS_MODBUS_MAP_H
#define GPIO_MODBUS_MODBUS_MAP_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <modbus/modbus.h>

#include "controller.h"

namespace gpio_modbus {

using Clock = std::chrono::steady_clock;

// The MBAP header and the unit id: the function code follows (libmodbus's
// modbus_get_header_length for TCP).
constexpr std::size_t kHeaderLength = 7;

// The bridge's own input registers.
constexpr int kBridgeBlock = 1000;
constexpr int kOnlineRegister = 1000;          // 1 while the controller answers, else 0
constexpr int kFailedHighRegister = 1001;      // failed exchanges since the start, high 16 bits
constexpr int kFailedLowRegister = 1002;       // and low 16 bits: a 32-bit count that wraps
constexpr int kOldestAgeRegister = 1003;       // ms since the oldest last read of a port
constexpr int kNewestAgeRegister = 1004;       // ms since the latest read of any port
constexpr int kVersionRegister = 1005;         // the version text, 2 characters a register
constexpr int kVersionRegisters = 16;          // 32 characters, NUL padded
constexpr int kBridgeBlockEnd = kVersionRegister + kVersionRegisters;
// An age that does not fit, or of a port never read.
constexpr std::uint16_t kAgeUnknown = 0xFFFF;

// Modbus exception codes the bridge answers with.
constexpr int kIllegalFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;        // 0x01
constexpr int kIllegalAddress = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;     // 0x02
constexpr int kIllegalValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;         // 0x03
constexpr int kServerFailure = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;   // 0x04
constexpr int kTargetFailed = MODBUS_EXCEPTION_GATEWAY_TARGET;             // 0x0B

// The unit id that Modbus TCP reserves for a device reached by its own
// address, answered besides the configured one.
constexpr int kUnitNotUsed = 0xFF;

// Whether the function is one of the map's eight: 1, 2, 3, 4, 5, 6, 15, 16.
bool Served(int function);

// One configured port as the map sees it.
struct MapPort {
    int number = 0;
    bool writable = false;  // output or both: coils and holding registers
    bool polled = false;    // input or both: discrete inputs and input registers
};

struct MapSettings {
    int unitId = 1;
    std::vector<MapPort> ports;
    // A polled port's read older than this is not served.
    std::chrono::milliseconds maxPollAge{1000};
    // Ports that are not polled are read by the check this often (0: never):
    // their limit is this plus maxPollAge, none when 0.
    std::chrono::milliseconds checkInterval{5000};
};

struct PortReading {
    std::uint8_t value = 0;
    Clock::time_point when{};
};

// The controller's state as the poll keeps it.
struct Snapshot {
    bool online = false;
    std::uint32_t failedExchanges = 0;
    std::string version;
    std::array<std::optional<PortReading>, 256> ports{};
};

// One step of a write, on one port.
struct WriteStep {
    enum class Kind {
        kOutput,    // the whole port: value
        kBitSet,    // bit
        kBitReset,  // bit
        kMerge,     // the bits of mask to those of value, on a fresh read of the port
    };
    Kind kind = Kind::kOutput;
    int port = 0;
    int bit = 0;
    std::uint8_t value = 0;
    std::uint8_t mask = 0xFF;
    // The read-back must show what was written: true for output ports,
    // whose pins read what they drive; a both-way port's pins may read
    // otherwise (driven from outside), so there only the read-back counts.
    bool verify = true;
};

using WritePlan = std::vector<WriteStep>;

// What to do with a request.
struct Answer {
    enum class Kind {
        kNone,       // no reply: another unit's request
        kException,  // exception
        kRead,       // values from address on
        kWrite,      // carry out plan, then reply (or answer its exception)
    };
    Kind kind = Kind::kNone;
    int function = 0;
    int exception = 0;
    int address = 0;
    int quantity = 0;
    // A read's bits (0 or 1) or registers, one for each address.
    std::vector<std::uint16_t> values;
    WritePlan plan;
};

// Decides on each request; answers reads from a snapshot.
class RequestHandler {
public:
    explicit RequestHandler(MapSettings settings);

    // `adu` as modbus_receive gave it (MBAP header, unit id, PDU).
    Answer Decide(const std::uint8_t *adu, std::size_t length, const Snapshot &state, Clock::time_point now) const;

    const MapSettings &Settings() const { return settings_; }

private:
    const MapPort *Port(int number) const;
    // The exception for a read of `port` at `now`, 0 when it may be served.
    int Stale(const MapPort &port, const Snapshot &state, Clock::time_point now) const;
    Answer Read(int function, int address, int quantity, const Snapshot &state, Clock::time_point now) const;
    std::uint16_t BridgeRegister(int address, const Snapshot &state, Clock::time_point now) const;

    MapSettings settings_;
    // Each port number's index in settings_.ports, -1 when not configured.
    std::array<int, 256> byNumber_{};
};

// The result of one write and its read-back, as the controller owner gives it.
using WriteOutcome = gpio_controller::Controller::WriteOutcome;

// The controller operations a write uses, on the controller's thread.
class PortAccess {
public:
    virtual ~PortAccess() = default;
    virtual WriteOutcome Output(int port, std::uint8_t value) = 0;
    virtual WriteOutcome BitSet(int port, int bit) = 0;
    virtual WriteOutcome BitReset(int port, int bit) = 0;
    // One read; the value through Value().
    virtual int Read(int port) = 0;
    virtual std::optional<std::uint8_t> Value(int port) const = 0;
};

// The exception for a library result that is not a success: 0x04 when the
// controller answered with an error status, 0x0B when it did not answer
// (time-out, I/O error, the port gone).
int ExceptionFor(int result);

// Carries out the plan's steps in order, each read back, and stops at the
// first that fails: 0 when all were confirmed, else the exception.
int CarryOut(const WritePlan &plan, PortAccess &ports);

// Sends the answer to a request through libmodbus: a read's values, a
// write's echo (`exception` 0, after CarryOut), or an exception. Returns
// modbus_reply's result (-1 when the client could not be sent to).
int SendAnswer(modbus_t *context, const std::uint8_t *adu, int length, const Answer &answer);

}  // namespace gpio_modbus

#endif  // GPIO_MODBUS_MODBUS_MAP_H
