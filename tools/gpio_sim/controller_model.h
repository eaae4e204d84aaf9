// The simulated controller's state and command handling: a request payload
// in, a reply payload out. No I/O here; the pty server feeds it frames.
//
// Device: four ports (0-3) of eight bits (0-7). Each port has an output
// latch. Pins can also be driven from outside (SetInputPins); a driven pin
// reads as its driven level, every other pin reads back the latch.
//
// Commands (request payload -> reply payload on success):
//   'I' port              -> 00 value           input
//   'O' port value        -> 00                 output (sets the latch)
//   'T' port bit          -> 00 'H' | 'L'       bit test (what input reads)
//   'B' 'S' port bit      -> 00                 bit set (latch bit to 1)
//   'B' 'C' port bit      -> 00                 bit reset (latch bit to 0)
//   'V'                   -> 00 version text    version (no terminator)
//
// Status bytes (the reply is then the status byte alone):
//   0x00  success
//   0xFD  malformed request: empty, a lone 'B', or the wrong length for
//         its command
//   0xFE  unknown command
//   0xFF  port or bit number out of range
// Checks run in that order: command, then length, then range.
#ifndef GPIO_SIM_CONTROLLER_MODEL_H
#define GPIO_SIM_CONTROLLER_MODEL_H

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "wire_codec.h"

namespace gpio_sim {

constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusMalformed = 0xFD;
constexpr std::uint8_t kStatusUnknownCommand = 0xFE;
constexpr std::uint8_t kStatusOutOfRange = 0xFF;

constexpr std::uint8_t kPortCount = 4;
constexpr std::uint8_t kBitsPerPort = 8;

// What a request asks for, once its command bytes are recognised.
enum class Command { kUnknown, kInput, kOutput, kBitTest, kBitSet, kBitReset, kVersion };

// The command of a request payload, kUnknown if it names none.
Command CommandOf(const Bytes &request);

// The command named by its request bytes as text: "I", "O", "T", "BS",
// "BC" or "V"; kUnknown for any other text.
Command CommandNamed(const std::string &name);

// The offset of the port operand in a request for `command`, or -1 for
// commands without one (version, unknown).
int PortOperandOffset(Command command);

// A short human reading of a request ("input port 2") and of the reply
// payload given to it ("ok value 0xA5"), for traces.
std::string DescribeRequest(const Bytes &request);
std::string DescribeReply(const Bytes &request, const Bytes &reply);

// Thread-safe: every member takes the model's lock.
class ControllerModel {
public:
    explicit ControllerModel(std::string versionText = "GPIO-SIM 1.0");

    // Carries out one request and returns the reply payload, status first.
    Bytes Handle(const Bytes &request);

    // The accessors below ignore ports outside 0-3 and read them as 0.

    // The output latch of a port.
    std::uint8_t Latch(std::uint8_t port) const;
    void SetLatch(std::uint8_t port, std::uint8_t value);

    // Drives the pins in `mask` of a port to the matching bits of `value`;
    // pins outside the mask read back the latch again. Mask 0 releases all.
    void SetInputPins(std::uint8_t port, std::uint8_t mask, std::uint8_t value);

    // What an input request for the port would read.
    std::uint8_t ReadPort(std::uint8_t port) const;

    std::string VersionText() const;
    void SetVersionText(std::string text);

    // Latches to 0, no pin driven.
    void Reset();

private:
    std::uint8_t ReadPortLocked(std::uint8_t port) const;

    mutable std::mutex mutex_;
    std::array<std::uint8_t, kPortCount> latch_{};
    std::array<std::uint8_t, kPortCount> drivenMask_{};
    std::array<std::uint8_t, kPortCount> drivenValue_{};
    std::string versionText_;
};

}  // namespace gpio_sim

#endif  // GPIO_SIM_CONTROLLER_MODEL_H
