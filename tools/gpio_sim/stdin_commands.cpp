#include "stdin_commands.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace gpio_sim {
namespace {

// A line longer than this is no command; the rest of it is skipped.
constexpr std::size_t kMaxLine = 256;

// A byte in decimal or 0x hex, or the highest port number given.
bool ParseNumber(const std::string &text, unsigned max, std::uint8_t &value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 8 || digits[0] == '-' || digits[0] == '+') {
        return false;
    }
    char *end = nullptr;
    const unsigned long parsed = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
    if (*end != '\0' || parsed > max) {
        return false;
    }
    value = static_cast<std::uint8_t>(parsed);
    return true;
}

std::string Hex(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", byte);
    return text;
}

// Only printable ASCII of a line goes into a message: input may be binary.
std::string Printable(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return out;
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
    const std::string usage = "want 'set PORT VALUE [MASK]' or 'release PORT', not '" + Printable(line) + "'";
    const bool set = words[0] == "set" && (words.size() == 3 || words.size() == 4);
    const bool release = words[0] == "release" && words.size() == 2;
    if (!set && !release) {
        error = usage;
        return false;
    }
    if (!ParseNumber(words[1], kPortCount - 1, command.port)) {
        error = "port '" + Printable(words[1]) + "' is not one of 0-" + std::to_string(kPortCount - 1);
        return false;
    }
    if (release) {
        command.kind = StdinCommand::Kind::kRelease;
        return true;
    }
    command.mask = 0xFF;
    if (!ParseNumber(words[2], 0xFF, command.value) || (words.size() == 4 && !ParseNumber(words[3], 0xFF, command.mask))) {
        error = "a value and a mask are bytes, 0-255 or 0x00-0xFF: " + usage;
        return false;
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
