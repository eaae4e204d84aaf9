#include "command_payload.h"

#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "names_list.h"
#include "number.h"
#include "text_output.h"

namespace gpio_mqtt {
namespace {

using nlohmann::json;

// A refusal: thrown inside the reader, caught once at its top.
struct Refusal {
    std::string reason;
};

const std::array<Operation, 6> kRequestOperations = {Operation::kInput,  Operation::kBitTest,  Operation::kOutput,
                                                     Operation::kBitSet, Operation::kBitReset, Operation::kVersion};

// A number of `text` up to `max`, read as every tool reads one (number.h:
// decimal without a leading 0, or 0x hex); -1 if it is none.
long Number(const std::string &text, long max)
{
    const gpio_tools::ParsedUnsigned parsed = gpio_tools::ParseUnsigned(text, 0, static_cast<std::uint64_t>(max));
    return parsed ? static_cast<long>(parsed.value) : -1;
}

// The text shown in a reason: cut short, and safe to print.
std::string Shown(const std::string &text)
{
    const std::size_t limit = 40;
    return gpio_tools::SafeText(text.size() > limit ? text.substr(0, limit) + "..." : text);
}

// The topic's levels: "port/1/bit/3/set" -> port, 1, bit, 3, set.
std::vector<std::string> Levels(const std::string &topic)
{
    std::vector<std::string> levels(1);
    for (const char c : topic) {
        if (c == '/') {
            levels.emplace_back();
        } else {
            levels.back() += c;
        }
    }
    return levels;
}

// A port number in decimal, as topics and JSON write it.
std::uint8_t Port(const std::string &text, const PortTable &ports, bool write)
{
    const long port = text.find_first_not_of("0123456789") == std::string::npos ? Number(text, 255) : -1;
    if (port < 0 || !ports[static_cast<std::size_t>(port)].configured) {
        throw Refusal{"port " + Shown(text) + " is not a configured port"};
    }
    if (write && !ports[static_cast<std::size_t>(port)].writable) {
        throw Refusal{"port " + Shown(text) + " is an input port: it takes no output"};
    }
    return static_cast<std::uint8_t>(port);
}

std::uint8_t Bit(const std::string &text)
{
    const long bit = text.size() == 1 ? Number(text, 7) : -1;
    if (bit < 0) {
        throw Refusal{"bit " + Shown(text) + " is not one of 0-7"};
    }
    return static_cast<std::uint8_t>(bit);
}

// A JSON object with no keys but `allowed`.
json Object(const std::string &payload, const std::set<std::string> &allowed)
{
    json object;
    // The keys seen in each object being read, innermost last.
    std::vector<std::set<std::string>> keys;
    const json::parser_callback_t refuseDuplicates = [&keys](int, json::parse_event_t event, json &parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key && !keys.back().insert(parsed.get<std::string>()).second) {
            throw Refusal{"key " + Shown(parsed.get<std::string>()) + " is given twice"};
        }
        return true;
    };
    try {
        object = json::parse(payload, refuseDuplicates);
    } catch (const json::parse_error &error) {
        throw Refusal{"payload is not valid JSON (at byte " + std::to_string(error.byte) + ")"};
    } catch (const json::exception &) {
        // A number beyond what a double holds (1e999) is refused by the
        // parser with another exception than a syntax error.
        throw Refusal{"payload is not valid JSON: a number out of range"};
    }
    if (!object.is_object()) {
        throw Refusal{"payload is not a JSON object"};
    }
    for (const auto &item : object.items()) {
        if (allowed.count(item.key()) == 0) {
            const std::string known = gpio_tools::NamesList(allowed, [](const std::string &key) { return key; });
            throw Refusal{"unknown key " + Shown(item.key()) + "; the keys are " + known};
        }
    }
    return object;
}

// The whole number under `key` written as text, so that its range is
// checked as a topic's number is. The parser keeps a number written with a
// minus sign as signed, -0 too, which the text keeps: "-0" is refused as
// the payload -0 is.
std::string NumberText(const json &object, const std::string &key)
{
    const auto found = object.find(key);
    if (found == object.end()) {
        throw Refusal{"no \"" + key + "\" given"};
    }
    if (!found->is_number_integer()) {
        throw Refusal{"\"" + key + "\" is not a whole number"};
    }
    if (found->is_number_unsigned()) {
        return std::to_string(found->get<std::uint64_t>());
    }
    const std::int64_t value = found->get<std::int64_t>();
    return value == 0 ? "-0" : std::to_string(value);
}

std::uint8_t Value(const std::string &text)
{
    const long value = Number(text, 255);
    if (value < 0) {
        throw Refusal{"value " + Shown(text) + " is not a number from 0 to 255 (or 0x00 to 0xFF)"};
    }
    return static_cast<std::uint8_t>(value);
}

// Leading and trailing white space, as `echo` or a form may add it.
std::string Trimmed(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

Command PortSet(const std::string &port, const std::string &payload, const PortTable &ports)
{
    Command command;
    command.origin = Origin::kPortSetTopic;
    command.operation = Operation::kOutput;
    command.port = Port(port, ports, true);
    const std::string text = Trimmed(payload);
    command.value = Value(!text.empty() && text[0] == '{' ? NumberText(Object(text, {"value"}), "value") : text);
    return command;
}

Command BitSet(const std::string &port, const std::string &bit, const std::string &payload, const PortTable &ports)
{
    Command command;
    command.origin = Origin::kBitSetTopic;
    command.port = Port(port, ports, true);
    command.bit = Bit(bit);
    const std::string text = Trimmed(payload);
    if (text == "ON") {
        command.operation = Operation::kBitSet;
    } else if (text == "OFF") {
        command.operation = Operation::kBitReset;
    } else if (text == "TOGGLE") {
        command.operation = Operation::kBitToggle;
    } else {
        throw Refusal{"bit command " + Shown(text) + " is not ON, OFF or TOGGLE"};
    }
    return command;
}

Command SignalSet(const std::string &slug, const std::string &payload, const SignalTable &signals)
{
    const auto found = signals.find(slug);
    if (found == signals.end()) {
        throw Refusal{"signal " + Shown(slug) + " is not a configured signal"};
    }
    const SignalTarget &signal = found->second;
    if (!signal.writable) {
        throw Refusal{"signal " + Shown(slug) + " is an input: it takes no command"};
    }
    Command command;
    command.origin = Origin::kSignalSetTopic;
    command.port = signal.port;
    command.bit = signal.bit;
    const std::string text = Trimmed(payload);
    const Operation on = signal.inverted ? Operation::kBitReset : Operation::kBitSet;
    const Operation off = signal.inverted ? Operation::kBitSet : Operation::kBitReset;
    if (text == "OFF") {
        command.operation = off;
    } else if (signal.pulse && (text == "ON" || text == "PULSE")) {
        command.operation = Operation::kPulse;
        command.value = signal.inverted ? 0 : 1;
    } else if (!signal.pulse && text == "ON") {
        command.operation = on;
    } else if (!signal.pulse && text == "TOGGLE") {
        command.operation = Operation::kBitToggle;
    } else {
        throw Refusal{"signal command " + Shown(text) + " is not " +
                      (signal.pulse ? "PULSE, ON or OFF (a pulse output)" : "ON, OFF or TOGGLE")};
    }
    return command;
}

Command Request(const std::string &payload, const PortTable &ports)
{
    const json object = Object(payload, {"op", "port", "bit", "value"});
    const auto op = object.find("op");
    if (op == object.end() || !op->is_string()) {
        throw Refusal{"no \"op\" given: one of input, bit-test, output, bit-set, bit-reset, version"};
    }
    Command command;
    bool known = false;
    for (const Operation operation : kRequestOperations) {
        if (op->get<std::string>() == OperationName(operation)) {
            command.operation = operation;
            known = true;
        }
    }
    if (!known) {
        throw Refusal{"unknown op " + Shown(op->get<std::string>()) +
                      "; one of input, bit-test, output, bit-set, bit-reset, version"};
    }
    const bool takesPort = command.operation != Operation::kVersion;
    const bool takesBit = command.operation == Operation::kBitTest || command.operation == Operation::kBitSet ||
                          command.operation == Operation::kBitReset;
    const bool takesValue = command.operation == Operation::kOutput;
    for (const auto &[key, wanted] : {std::pair<const char *, bool>{"port", takesPort}, {"bit", takesBit},
                                      {"value", takesValue}}) {
        if (!wanted && object.contains(key)) {
            throw Refusal{std::string("op ") + OperationName(command.operation) + " takes no \"" + key + "\""};
        }
    }
    if (takesPort) {
        command.port = Port(NumberText(object, "port"), ports, Writes(command.operation));
    }
    if (takesBit) {
        command.bit = Bit(NumberText(object, "bit"));
    }
    if (takesValue) {
        command.value = Value(NumberText(object, "value"));
    }
    return command;
}

}  // namespace

const char *OperationName(Operation operation)
{
    switch (operation) {
    case Operation::kInput:
        return "input";
    case Operation::kBitTest:
        return "bit-test";
    case Operation::kOutput:
        return "output";
    case Operation::kBitSet:
        return "bit-set";
    case Operation::kBitReset:
        return "bit-reset";
    case Operation::kBitToggle:
        return "bit-toggle";
    case Operation::kPulse:
        return "pulse";
    case Operation::kVersion:
        return "version";
    }
    return "version";
}

std::string OversizedPayload(std::size_t size)
{
    return "payload of " + std::to_string(size) + " bytes is over the limit of " + std::to_string(kMaxPayload);
}

bool Writes(Operation operation)
{
    return operation == Operation::kOutput || operation == Operation::kBitSet || operation == Operation::kBitReset ||
           operation == Operation::kBitToggle || operation == Operation::kPulse;
}

ParsedCommand ParseCommand(const std::string &subtopic, const std::string &payload, const PortTable &ports,
                           const SignalTable &signals)
{
    ParsedCommand parsed;
    try {
        if (payload.size() > kMaxPayload) {
            throw Refusal{OversizedPayload(payload.size())};
        }
        if (!gpio_tools::IsValidUtf8(payload)) {
            throw Refusal{"payload is not valid UTF-8"};
        }
        const std::vector<std::string> levels = Levels(subtopic);
        if (levels.size() == 1 && levels[0] == "request") {
            parsed.command = Request(payload, ports);
            parsed.command.origin = Origin::kRequestTopic;
        } else if (levels.size() == 3 && levels[0] == "port" && levels[2] == "set") {
            parsed.command = PortSet(levels[1], payload, ports);
        } else if (levels.size() == 5 && levels[0] == "port" && levels[2] == "bit" && levels[4] == "set") {
            parsed.command = BitSet(levels[1], levels[3], payload, ports);
        } else if (levels.size() == 3 && levels[0] == "signal" && levels[2] == "set") {
            parsed.command = SignalSet(levels[1], payload, signals);
        } else {
            throw Refusal{"topic " + Shown(subtopic) + " takes no commands"};
        }
        parsed.ok = true;
    } catch (const Refusal &refusal) {
        parsed.reason = refusal.reason;
    }
    return parsed;
}

}  // namespace gpio_mqtt
