// The simulated controller's state and command handling: a request payload
// in, a reply payload out. No I/O here; the pty server feeds it frames.
//
// Device: four ports (0-3) of eight bits (0-7). Each port has an output
// latch. Pins can also be driven from outside (SetInputPins); a driven pin
// reads as its driven level, every other pin reads back the latch.
//
// Requests come decoded (request.h); what the model answers:
//   input, output, bit test, bit set, bit reset and version as request.h
//   lists them, with status 0x00 first;
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

#include "request.h"
#include "wire_codec.h"

namespace gpio_sim {

using gpio_tools::Bytes;
using gpio_tools::Command;
using gpio_tools::Request;

constexpr std::uint8_t kPortCount = 4;
constexpr std::uint8_t kBitsPerPort = 8;

// Thread-safe: every member takes the model's lock.
class ControllerModel {
public:
    explicit ControllerModel(std::string versionText = "GPIO-SIM 1.0");

    // Carries out one request and returns the reply payload, status first.
    Bytes Handle(const Request &request);

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
