#include "stdin_commands.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "number.h"
#include "text_output.h"

namespace gpio_sim {
namespace {

// A line longer than this is no command; the rest of it is skipped.
constexpr std::size_t kMaxLine = 256;

// A number of a command, from 0 to `max`, read as every tool reads one
// (number.h).
gpio_tools::ParsedUnsigned Number(const std::string &text, unsigned max, std::uint8_t &value)
{
    const gpio_tools::ParsedUnsigned parsed = gpio_tools::ParseUnsigned(text, 0, max);
    value = static_cast<std::uint8_t>(parsed.value);
    return parsed;
}

std::string Hex(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", byte);
    return text;
}

}  // namespace

bool ParseStdinCommand(const std::string &line, StdinCommand &command, std::string &error)
{
    command = StdinCommand{};
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    if (words.empty() || words[0][0] == '#') {
        return true;
    }
    // The line may hold any bytes: the message shows them escaped.
    const std::string usage = "want 'set PORT VALUE [MASK]' or 'release PORT', not '" + gpio_tools::SafeText(line) + "'";
    const bool set = words[0] == "set" && (words.size() == 3 || words.size() == 4);
    const bool release = words[0] == "release" && words.size() == 2;
    if (!set && !release) {
        error = usage;
        return false;
    }
    const gpio_tools::ParsedUnsigned port = Number(words[1], kPortCount - 1, command.port);
    if (port.fault == gpio_tools::NumberFault::kLeadingZero) {
        error = gpio_tools::SafeText(gpio_tools::NumberProblem("port", words[1], port, ""));
        return false;
    }
    if (!port) {
        error = "port '" + gpio_tools::SafeText(words[1]) + "' is not one of 0-" + std::to_string(kPortCount - 1);
        return false;
    }
    if (release) {
        command.kind = StdinCommand::Kind::kRelease;
        return true;
    }
    command.mask = 0xFF;
    const char *const names[] = {"value", "mask"};
    std::uint8_t *const fields[] = {&command.value, &command.mask};
    for (std::size_t i = 2; i < words.size() && i < 4; ++i) {
        const gpio_tools::ParsedUnsigned byte = Number(words[i], 0xFF, *fields[i - 2]);
        if (byte.fault == gpio_tools::NumberFault::kLeadingZero) {
            error = gpio_tools::SafeText(gpio_tools::NumberProblem(names[i - 2], words[i], byte, ""));
            command = StdinCommand{};
            return false;
        }
        if (!byte) {
            error = "a value and a mask are bytes, 0-255 or 0x00-0xFF: " + usage;
            command = StdinCommand{};
            return false;
        }
    }
    command.kind = StdinCommand::Kind::kSet;
    return true;
}

std::string ApplyStdinCommand(const StdinCommand &command, ControllerModel &model)
{
    switch (command.kind) {
    case StdinCommand::Kind::kSet:
        model.SetInputPins(command.port, command.mask, command.value);
        return "port " + std::to_string(command.port) + " reads " + Hex(model.ReadPort(command.port)) + " (pins " +
               Hex(command.mask) + " driven)";
    case StdinCommand::Kind::kRelease:
        model.SetInputPins(command.port, 0, 0);
        return "port " + std::to_string(command.port) + " reads its latch " + Hex(model.ReadPort(command.port));
    case StdinCommand::Kind::kNothing:
        break;
    }
    return {};
}

void StdinLines::Feed(const char *bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n') {
            // CR LF from a Windows console: the CR is blank space to the parser.
            Finish();
        } else if (line_.size() < kMaxLine) {
            line_ += bytes[i];
        } else {
            skipping_ = true;
        }
    }
}

void StdinLines::Finish()
{
    ++lineNumber_;
    StdinCommand command;
    std::string error;
    if (skipping_) {
        std::fprintf(log_, "gpio-sim: input line %u: longer than %zu characters\n", lineNumber_, kMaxLine);
    } else if (!ParseStdinCommand(line_, command, error)) {
        std::fprintf(log_, "gpio-sim: input line %u: %s\n", lineNumber_, error.c_str());
    } else if (command.kind != StdinCommand::Kind::kNothing) {
        std::fprintf(log_, "gpio-sim: %s\n", ApplyStdinCommand(command, model_).c_str());
    }
    std::fflush(log_);
    line_.clear();
    skipping_ = false;
}

}  // namespace gpio_sim
