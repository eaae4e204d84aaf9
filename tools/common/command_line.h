// The command line of gpioctl, gpio-sim and gpio-tap, read the same way by
// all three:
//   - options may come before or after the command and its operands, as
//     "--name value" or "--name=value"; "--" ends the options;
//   - --help prints the help and --version "<tool> <version>", exit 0;
//   - a usage error prints "<tool>: <what>" naming the offending word with
//     a hint ("unknown option --prot; did you mean --port?") and the line
//     "Run '<tool> --help' for usage." on stderr, exit 64.
// A tool declares its options, commands and operands; the help is made
// from the declarations, like the synopsis of a manual page.
#ifndef GPIO_TOOLS_COMMAND_LINE_H
#define GPIO_TOOLS_COMMAND_LINE_H

#include <functional>
#include <string>
#include <vector>

namespace gpio_tools {

// The exit status of a usage error (EX_USAGE).
constexpr int kUsageError = 64;

// The end of every tool's main(), around its exit status: flushes standard
// output and checks that all of it was written. Output that was lost (a
// full disk, /dev/full) is said on stderr, "<program>: cannot write to
// standard output: <reason>", and turns a success into 1; a failure's own
// status stands. A reader that stopped reading (`| head -1`, with SIGPIPE
// ignored) is no failure: the tool ends quietly, as with SIGPIPE.
int FinishOutput(const char *program, int status);

class CommandLine {
public:
    // Checks and takes an option's value: returns "" when it is good, else
    // what is wrong with it ("wants milliseconds (0-60000)").
    using Take = std::function<std::string(const std::string &value)>;

    // `usage` follows "Usage: <program> " in the help, e.g.
    // "[OPTIONS] COMMAND [ARGUMENTS]"; more lines may follow after '\n'.
    CommandLine(std::string program, std::string usage, std::string description);

    // An option without a value. `help` may run over several lines ('\n').
    void Flag(const std::string &name, const std::string &help, bool *target);
    // An option with a value, stored as given, or checked and taken.
    void Option(const std::string &name, const std::string &valueName, const std::string &help, std::string *target);
    void Option(const std::string &name, const std::string &valueName, const std::string &help, Take take);

    // A command and its operands: "PORT VALUE" are required, "[N]" optional,
    // and a last one written "PORT..." or "[PORT...]" may repeat.
    void Command(const std::string &name, const std::string &operands, const std::string &help);
    // The operands of a program without commands, in the same form.
    void Operands(const std::string &operands);

    // A heading with free text at the end of the help ("Exit status").
    void Section(const std::string &heading, const std::string &text);

    // Reads argv. Returns -1 when the program is to run, else the exit
    // status after printing the help, the version or the usage error.
    int Parse(int argc, const char *const *argv);

    // After Parse: the command ("" for a program without commands), its
    // operands, and whether an option was given.
    const std::string &CommandName() const { return command_; }
    const std::vector<std::string> &OperandValues() const { return operands_; }
    bool Given(const std::string &name) const;

    // Prints a usage error about a word found after parsing (an operand
    // out of range, options that do not go together); returns kUsageError.
    int UsageError(const std::string &message) const;

    std::string Help() const;
    // The names of every option and command, for completion and tests.
    std::vector<std::string> OptionNames() const;
    std::vector<std::string> CommandNames() const;

private:
    struct OptionEntry {
        std::string name;
        std::string valueName;  // empty for a flag
        std::string help;
        bool *flag = nullptr;
        Take take;
        bool given = false;
    };
    struct CommandEntry {
        std::string name;
        std::string operands;
        std::string help;
    };

    OptionEntry *FindOption(const std::string &name);
    const CommandEntry *FindCommand(const std::string &name) const;
    std::string Hint(const std::string &word, const std::vector<std::string> &names) const;
    int CheckOperands(const std::string &operands, const std::string &what);

    std::string program_;
    std::string usage_;
    std::string description_;
    std::vector<OptionEntry> options_;
    std::vector<CommandEntry> commands_;
    std::string programOperands_;
    std::vector<std::pair<std::string, std::string>> sections_;

    std::string command_;
    std::vector<std::string> operands_;
};

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_COMMAND_LINE_H
