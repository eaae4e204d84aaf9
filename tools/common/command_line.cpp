#include "command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "output_pipe.h"
#include "text_output.h"

#ifndef GPIOLINK_TOOLS_VERSION
#error "GPIOLINK_TOOLS_VERSION is the project's version, set by tools/common/CMakeLists.txt"
#endif

namespace gpio_tools {
namespace {

// The words of an operand list, brackets kept: "PORT [N]" -> PORT, [N].
std::vector<std::string> Words(const std::string &text)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
        const std::size_t end = text.find(' ', at);
        words.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    return words;
}

// Levenshtein distance, for "did you mean".
std::size_t Distance(const std::string &a, const std::string &b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Two columns: the left one padded to `width`, the right one's extra lines
// ('\n') indented to the same column.
void AddRow(std::string &out, const std::string &left, const std::string &right, std::size_t width)
{
    std::string line = "  " + left;
    if (line.size() > width + 2) {
        out += line + "\n";
        line.clear();
    }
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = right.find('\n', at);
        line.resize(width + 4, ' ');
        out += line + right.substr(at, end == std::string::npos ? std::string::npos : end - at) + "\n";
        line.clear();
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
}

// The usage errors of an option's value, made here rather than in the
// loop over the arguments.
std::string NeedsValue(const std::string &option, const std::string &valueName)
{
    return "option " + option + " needs a value (" + option + " " + valueName + ")";
}

std::string BadValue(const std::string &option, const std::string &problem, const std::string &value)
{
    return option + " " + problem + ", not '" + value + "'";
}

}  // namespace

CommandLine::CommandLine(std::string program, std::string usage, std::string description)
    : program_(std::move(program)), usage_(std::move(usage)), description_(std::move(description))
{
}

void CommandLine::Flag(const std::string &name, const std::string &help, bool *target)
{
    OptionEntry entry;
    entry.name = name;
    entry.help = help;
    entry.flag = target;
    options_.push_back(std::move(entry));
}

void CommandLine::Option(const std::string &name, const std::string &valueName, const std::string &help,
                         std::string *target)
{
    Option(name, valueName, help, [target](const std::string &value) {
        *target = value;
        return std::string();
    });
}

void CommandLine::Option(const std::string &name, const std::string &valueName, const std::string &help, Take take)
{
    OptionEntry entry;
    entry.name = name;
    entry.valueName = valueName;
    entry.help = help;
    entry.take = std::move(take);
    options_.push_back(std::move(entry));
}

void CommandLine::Command(const std::string &name, const std::string &operands, const std::string &help)
{
    commands_.push_back({name, operands, help});
}

void CommandLine::Operands(const std::string &operands) { programOperands_ = operands; }

void CommandLine::Section(const std::string &heading, const std::string &text) { sections_.emplace_back(heading, text); }

CommandLine::OptionEntry *CommandLine::FindOption(const std::string &name)
{
    for (OptionEntry &option : options_) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

const CommandLine::CommandEntry *CommandLine::FindCommand(const std::string &name) const
{
    for (const CommandEntry &command : commands_) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

bool CommandLine::Given(const std::string &name) const
{
    return std::any_of(options_.begin(), options_.end(),
                       [&name](const OptionEntry &option) { return option.name == name && option.given; });
}

std::vector<std::string> CommandLine::OptionNames() const
{
    std::vector<std::string> names;
    for (const OptionEntry &option : options_) {
        names.push_back(option.name);
    }
    names.insert(names.end(), {"--help", "--version"});
    return names;
}

std::vector<std::string> CommandLine::CommandNames() const
{
    std::vector<std::string> names;
    for (const CommandEntry &command : commands_) {
        names.push_back(command.name);
    }
    return names;
}

// "; did you mean --port?" for a near miss, or the list to choose from.
std::string CommandLine::Hint(const std::string &word, const std::vector<std::string> &names) const
{
    std::string best;
    std::size_t bestDistance = 3;
    for (const std::string &name : word.empty() ? std::vector<std::string>() : names) {
        std::size_t distance = Distance(word, name);
        // "-p" is a short form of the option it begins.
        if (word.size() == 2 && word[0] == '-' && word[1] != '-' && name.compare(0, 3, "--" + word.substr(1)) == 0) {
            distance = 1;
        }
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    if (!best.empty()) {
        return "; did you mean " + best + "?";
    }
    std::string list;
    for (const std::string &name : names) {
        list += (list.empty() ? "" : ", ") + name;
    }
    return "; one of " + list;
}

int CommandLine::UsageError(const std::string &message) const
{
    std::fprintf(stderr, "%s: %s\nRun '%s --help' for usage.\n", program_.c_str(), SafeText(message).c_str(),
                 program_.c_str());
    return kUsageError;
}

// Checks the number of operands against their declaration; a last operand
// that ends in "..." ("PORT...", "[PORT...]") may repeat.
int CommandLine::CheckOperands(const std::string &operands, const std::string &what)
{
    const std::vector<std::string> words = Words(operands);
    const auto required = static_cast<std::size_t>(
        std::count_if(words.begin(), words.end(), [](const std::string &word) { return word[0] != '['; }));
    const std::string last = words.empty() ? std::string() : words.back();
    const bool repeats = last.size() > 3 && last.find("...") != std::string::npos;
    if (operands_.size() < required) {
        return UsageError(what + " needs " + words[operands_.size()] + " (" + what + " " + operands + ")");
    }
    if (operands_.size() > words.size() && !repeats) {
        return UsageError("unexpected argument " + operands_[words.size()] + " after " + what +
                          (operands.empty() ? "" : " " + operands));
    }
    return -1;
}

int CommandLine::Parse(int argc, const char *const *argv)
{
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf("%s", Help().c_str());
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", program_.c_str(), GPIOLINK_TOOLS_VERSION);
            return 0;
        }
        std::string value;
        const std::size_t equals = arg.find('=');
        const bool inlineValue = arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        }
        OptionEntry *option = FindOption(arg);
        if (option == nullptr) {
            return UsageError("unknown option " + arg + Hint(arg, OptionNames()));
        }
        option->given = true;
        if (option->flag != nullptr) {
            if (inlineValue) {
                return UsageError("option " + arg + " takes no value");
            }
            *option->flag = true;
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                return UsageError(NeedsValue(arg, option->valueName));
            }
            value = argv[++i];
        }
        const std::string problem = option->take(value);
        if (!problem.empty()) {
            return UsageError(BadValue(arg, problem, value));
        }
    }

    if (commands_.empty()) {
        operands_ = words;
        return CheckOperands(programOperands_, program_);
    }
    if (words.empty()) {
        return UsageError("no command given" + Hint("", CommandNames()));
    }
    const CommandEntry *command = FindCommand(words[0]);
    if (command == nullptr) {
        return UsageError("unknown command " + words[0] + Hint(words[0], CommandNames()));
    }
    command_ = command->name;
    operands_.assign(words.begin() + 1, words.end());
    return CheckOperands(command->operands, command_);
}

std::string CommandLine::Help() const
{
    std::string out = "Usage: " + program_ + " ";
    // Each further form of the synopsis on a line of its own, as in a
    // manual page: "       tool --other FORM".
    const std::string indent = "       " + program_ + " ";
    for (const char c : usage_) {
        out += c;
        if (c == '\n') {
            out += indent;
        }
    }
    out += "\n\n" + description_ + "\n";

    std::size_t width = 0;
    std::vector<std::pair<std::string, std::string>> optionRows;
    for (const OptionEntry &option : options_) {
        optionRows.emplace_back(option.name + (option.valueName.empty() ? "" : " " + option.valueName), option.help);
    }
    optionRows.emplace_back("--help", "print this help and exit");
    optionRows.emplace_back("--version", "print the version and exit");
    std::vector<std::pair<std::string, std::string>> commandRows;
    for (const CommandEntry &command : commands_) {
        commandRows.emplace_back(command.name + (command.operands.empty() ? "" : " " + command.operands), command.help);
    }
    for (const auto &rows : {optionRows, commandRows}) {
        for (const auto &row : rows) {
            width = std::max(width, std::min<std::size_t>(row.first.size(), 22));
        }
    }
    if (!commandRows.empty()) {
        out += "\nCommands:\n";
        for (const auto &row : commandRows) {
            AddRow(out, row.first, row.second, width);
        }
    }
    out += "\nOptions:\n";
    for (const auto &row : optionRows) {
        AddRow(out, row.first, row.second, width);
    }
    for (const auto &section : sections_) {
        out += "\n" + section.first + ":\n" + section.second;
        if (!section.second.empty() && section.second.back() != '\n') {
            out += "\n";
        }
    }
    return out;
}

int FinishOutput(const char *program, int status)
{
    // A write that failed earlier leaves the stream's error flag; the flush
    // finds the failure of what is still buffered, with its reason.
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int reason = errno;
    if ((flushed && std::ferror(stdout) == 0) || OutputReaderGone()) {
        return status;
    }
    std::fprintf(stderr, "%s: cannot write to standard output%s%s\n", program, reason != 0 ? ": " : "",
                 reason != 0 ? std::strerror(reason) : "");
    return status == 0 ? 1 : status;
}

}  // namespace gpio_tools
