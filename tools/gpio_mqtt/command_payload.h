// Commands from the broker, read from their topic and payload. Everything
// in them is untrusted: the reader either gives one operation whose port,
// bit and value are all within what the configuration allows, or a reason
// to refuse it, and nothing else reaches the controller.
//
// The command topics below <base>/ (port/N/set, port/N/bit/B/set and
// request) and their payloads are listed in gpio-mqtt(1) and docs/mqtt.md.
// N is a configured port (0-255), B a bit (0-7); a port that takes a write
// must be an output or both-way port. A payload over 1 KiB, not UTF-8, or
// not the JSON or text its topic wants is refused; so is JSON that gives a
// key twice (which one would count?).
#ifndef GPIO_MQTT_COMMAND_PAYLOAD_H
#define GPIO_MQTT_COMMAND_PAYLOAD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace gpio_mqtt {

// The largest payload taken.
constexpr std::size_t kMaxPayload = 1024;
// The largest MQTT packet the bridge takes from the broker: a command with
// its topic and properties, and the bridge's own discovery entities, which
// it reads back to clear those of an earlier configuration, fit well.
constexpr std::size_t kMaxIncomingPacket = std::size_t{16} * 1024;

// Why a payload of `size` bytes is refused.
std::string OversizedPayload(std::size_t size);

// kPulse: a bit set to `value` (its level when the signal is on), then put
// back by the bridge after the signal's pulse time.
enum class Operation { kInput, kBitTest, kOutput, kBitSet, kBitReset, kBitToggle, kPulse, kVersion };

// Where a command came from: a state's /set topic, a signal's, or the
// request topic, whose reply goes to the request's response topic.
enum class Origin { kPortSetTopic, kBitSetTopic, kSignalSetTopic, kRequestTopic };

// What the configuration allows of each port number.
struct PortAccess {
    bool configured = false;
    bool writable = false;
};
using PortTable = std::array<PortAccess, 256>;

// A signal as its set topic reaches it: signal/<slug>/set.
struct SignalTarget {
    std::uint8_t port = 0;
    std::uint8_t bit = 0;
    bool writable = false;
    bool inverted = false;  // on when the bit is 0
    bool pulse = false;     // ON and PULSE turn it on for its pulse time
};
using SignalTable = std::map<std::string, SignalTarget>;

struct Command {
    Origin origin = Origin::kRequestTopic;
    Operation operation = Operation::kVersion;
    std::uint8_t port = 0;
    std::uint8_t bit = 0;
    std::uint8_t value = 0;
};

struct ParsedCommand {
    bool ok = false;
    Command command;
    std::string reason;  // why it is refused, when not ok
};

// `subtopic` is the topic without "<base>/". A signal's set topic takes
// ON, OFF and TOGGLE (of the signal, so inversion applies; TOGGLE not for
// a pulse output) and, for a pulse output, PULSE.
ParsedCommand ParseCommand(const std::string &subtopic, const std::string &payload, const PortTable &ports,
                           const SignalTable &signals = {});

// "input", "bit-test", "output", "bit-set", "bit-reset", "bit-toggle",
// "version": the request's words, and the names in errors and logs.
const char *OperationName(Operation operation);

// Whether the operation changes the port (and so is read back).
bool Writes(Operation operation);

}  // namespace gpio_mqtt

#endif  // GPIO_MQTT_COMMAND_PAYLOAD_H
