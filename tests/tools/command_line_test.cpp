// The command line every tool reads: where options may stand, how values
// are taken and checked, and the help made from the declarations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace gpio_tools {
namespace {

struct Parsed {
    int status;
    std::string command;
    std::vector<std::string> operands;
    std::string port;
    bool json = false;
};

Parsed Parse(std::vector<const char *> words)
{
    Parsed parsed{};
    CommandLine line("tool", "[OPTIONS] COMMAND", "A tool.");
    line.Option("--port", "NAME", "the port", &parsed.port);
    line.Flag("--json", "JSON", &parsed.json);
    line.Command("input", "PORT", "read");
    line.Command("bench", "[N]", "time");
    line.Command("watch", "PORT...", "watch");
    words.insert(words.begin(), "tool");
    testing::internal::CaptureStderr();
    parsed.status = line.Parse(static_cast<int>(words.size()), words.data());
    testing::internal::GetCapturedStderr();
    parsed.command = line.CommandName();
    parsed.operands = line.OperandValues();
    return parsed;
}

TEST(CommandLine, OptionsStandBeforeOrAfterTheCommandInEitherForm)
{
    for (const auto &words : std::vector<std::vector<const char *>>{{"--port", "pts/1", "--json", "input", "3"},
                                                                      {"input", "3", "--json", "--port=pts/1"},
                                                                      {"input", "--port", "pts/1", "3", "--json"}}) {
        const Parsed parsed = Parse(words);
        EXPECT_EQ(-1, parsed.status);
        EXPECT_EQ("input", parsed.command);
        EXPECT_EQ(std::vector<std::string>{"3"}, parsed.operands);
        EXPECT_EQ("pts/1", parsed.port);
        EXPECT_TRUE(parsed.json);
    }
    // After "--" a word that looks like an option is an operand.
    EXPECT_EQ(std::vector<std::string>{"-1"}, Parse({"input", "--", "-1"}).operands);
}

TEST(CommandLine, UsageErrorsExit64)
{
    EXPECT_EQ(64, Parse({"input"}).status);                   // a missing operand
    EXPECT_EQ(64, Parse({"input", "1", "2"}).status);         // one too many
    EXPECT_EQ(-1, Parse({"bench"}).status);                   // an optional one left out
    EXPECT_EQ(64, Parse({"bench", "1", "2"}).status);
    EXPECT_EQ(64, Parse({"watch"}).status);
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), Parse({"watch", "1", "2", "3"}).operands);
    EXPECT_EQ(64, Parse({}).status);                          // no command
    EXPECT_EQ(64, Parse({"inptu", "1"}).status);
    EXPECT_EQ(64, Parse({"input", "1", "--port"}).status);    // a value missing
    EXPECT_EQ(64, Parse({"input", "1", "--json=1"}).status);  // a flag with a value
}

TEST(CommandLine, MessagesNameTheWordAndHintAtTheNearestName)
{
    CommandLine line("tool", "COMMAND", "A tool.");
    std::string port;
    line.Option("--port", "NAME", "the port", &port);
    line.Option("--delay", "MS", "a delay", [](const std::string &value) {
        return value == "5" ? std::string() : std::string("wants milliseconds");
    });
    line.Command("input", "PORT", "read");
    line.Command("output", "PORT VALUE", "write");
    const auto error = [&line](std::vector<const char *> words) {
        words.insert(words.begin(), "tool");
        testing::internal::CaptureStderr();
        EXPECT_EQ(64, line.Parse(static_cast<int>(words.size()), words.data()));
        return testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ("tool: unknown option --prot; did you mean --port?\nRun 'tool --help' for usage.\n",
              error({"--prot", "x", "input", "1"}));
    EXPECT_EQ(0U, error({"-p", "x", "input", "1"}).find("tool: unknown option -p; did you mean --port?"));
    EXPECT_EQ(0U, error({"--frobnicate"}).find("tool: unknown option --frobnicate; one of --port, --delay, "));
    EXPECT_EQ(0U, error({"outptu", "1", "2"}).find("tool: unknown command outptu; did you mean output?"));
    EXPECT_EQ(0U, error({"output", "1"}).find("tool: output needs VALUE (output PORT VALUE)"));
    EXPECT_EQ(0U, error({"--delay", "soon", "input", "1"}).find("tool: --delay wants milliseconds, not 'soon'"));
}

TEST(CommandLine, HelpListsEveryCommandAndOptionInAlignedColumns)
{
    CommandLine line("tool", "[OPTIONS] COMMAND\n--other FORM", "A tool.");
    bool json = false;
    line.Flag("--json", "print JSON\nacross two lines", &json);
    line.Command("output", "PORT VALUE", "write a port");
    line.Section("Exit status", "  0  success");
    EXPECT_EQ("Usage: tool [OPTIONS] COMMAND\n"
              "       tool --other FORM\n"
              "\n"
              "A tool.\n"
              "\n"
              "Commands:\n"
              "  output PORT VALUE  write a port\n"
              "\n"
              "Options:\n"
              "  --json             print JSON\n"
              "                     across two lines\n"
              "  --help             print this help and exit\n"
              "  --version          print the version and exit\n"
              "\n"
              "Exit status:\n"
              "  0  success\n",
              line.Help());
}

}  // namespace
}  // namespace gpio_tools
