// Fuzzes gpio-mqtt's reader of commands from the broker with arbitrary
// topics and payloads.
//
// Input: the topic below <base>/ up to the first newline, the payload after
// it (no newline: the payload alone, on the request topic).
//
// Checked on every input: the reader returns (no exception escapes it); a
// command it takes names a configured port (none for version), a bit 0-7,
// a write only to an output or both-way port, an operation its topic
// allows, and came in at most 1 KiB of valid UTF-8; a refusal says why.
#include <cstddef>
#include <cstdint>
#include <string>

#include "command_payload.h"
#include "fuzz_check.h"
#include "text_output.h"

namespace {

// Port 0 output, 1 input, 2 both ways, 255 output.
gpio_mqtt::PortTable Ports()
{
    gpio_mqtt::PortTable ports{};
    ports[0] = {true, true};
    ports[1] = {true, false};
    ports[2] = {true, true};
    ports[255] = {true, true};
    return ports;
}

// A level output, a pulse output and an input.
const gpio_mqtt::SignalTable &Signals()
{
    static const gpio_mqtt::SignalTable signals = {{"pump", {0, 1, true, true, false}},
                                                   {"horn", {0, 5, true, false, true}},
                                                   {"door", {1, 2, false, false, false}}};
    return signals;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using gpio_mqtt::Operation;
    using gpio_mqtt::Origin;
    static const gpio_mqtt::PortTable ports = Ports();
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string topic = newline == std::string::npos ? "request" : input.substr(0, newline);
    const std::string payload = newline == std::string::npos ? input : input.substr(newline + 1);

    const gpio_mqtt::ParsedCommand parsed = gpio_mqtt::ParseCommand(topic, payload, ports, Signals());
    if (!parsed.ok) {
        FUZZ_CHECK(!parsed.reason.empty(), "a refusal without a reason");
        return 0;
    }
    const gpio_mqtt::Command &command = parsed.command;
    FUZZ_CHECK(payload.size() <= gpio_mqtt::kMaxPayload, "a payload over the limit taken");
    FUZZ_CHECK(gpio_tools::IsValidUtf8(payload), "a payload that is not UTF-8 taken");
    FUZZ_CHECK(command.bit <= 7, "a bit outside 0-7");
    if (command.operation != Operation::kVersion) {
        FUZZ_CHECK(ports[command.port].configured, "a port that is not configured");
    }
    if (gpio_mqtt::Writes(command.operation)) {
        FUZZ_CHECK(ports[command.port].writable, "a write to an input port");
    }
    switch (command.origin) {
    case Origin::kPortSetTopic:
        FUZZ_CHECK(command.operation == Operation::kOutput, "a port's set topic gave another operation");
        FUZZ_CHECK(topic == "port/" + std::to_string(command.port) + "/set", "a port set from another topic");
        break;
    case Origin::kBitSetTopic:
        FUZZ_CHECK(command.operation == Operation::kBitSet || command.operation == Operation::kBitReset ||
                       command.operation == Operation::kBitToggle,
                   "a bit's set topic gave another operation");
        FUZZ_CHECK(topic == "port/" + std::to_string(command.port) + "/bit/" + std::to_string(command.bit) + "/set",
                   "a bit set from another topic");
        break;
    case Origin::kSignalSetTopic: {
        const bool signalTopic = topic.size() > 11 && topic.compare(0, 7, "signal/") == 0 &&
                                 topic.compare(topic.size() - 4, 4, "/set") == 0;
        FUZZ_CHECK(signalTopic, "a signal command from another topic");
        const auto signal = Signals().find(topic.substr(7, topic.size() - 11));
        FUZZ_CHECK(signal != Signals().end() && signal->second.writable && command.port == signal->second.port &&
                       command.bit == signal->second.bit,
                   "a signal command to another bit, or to an input");
        FUZZ_CHECK(signal->second.pulse ? command.operation == Operation::kPulse ||
                                              command.operation == Operation::kBitSet ||
                                              command.operation == Operation::kBitReset
                                        : command.operation != Operation::kPulse,
                   "a pulse of a level output, or a level command of a pulse output");
        break;
    }
    case Origin::kRequestTopic:
        FUZZ_CHECK(topic == "request" && command.operation != Operation::kBitToggle,
                   "a request from another topic, or an operation requests do not have");
        break;
    }
    return 0;
}
