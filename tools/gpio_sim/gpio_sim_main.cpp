// gpio-sim: plays the digital I/O controller on a pseudo-terminal, or on a
// serial port given with --serial, until SIGINT or SIGTERM (Ctrl+C on
// Windows). Prints the port to open first, for scripts to read; the trace
// goes to stderr so that it never gets in their way.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "command_line.h"
#include "number.h"
#include "own_pty.h"
#include "serial_line.h"
#include "simulator.h"
#include "stdin_commands.h"
#include "text_output.h"

namespace {

// A number for an option, read as every tool reads one (number.h): "" or
// the problem, `wanted` ("wants milliseconds (0-60000)") unless the number
// has a leading 0.
std::string TakeNumber(const std::string &text, std::uint64_t min, std::uint64_t max, const std::string &wanted,
                       std::uint64_t &value)
{
    const gpio_tools::ParsedUnsigned parsed = gpio_tools::ParseUnsigned(text, min, max);
    if (parsed.fault == gpio_tools::NumberFault::kLeadingZero) {
        return std::string("wants a number without a leading 0, ") + gpio_tools::kLeadingZeroAdvice;
    }
    value = parsed.value;
    return parsed ? std::string() : wanted;
}

bool ParseRate(const char *text, double &value)
{
    char *end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text, &end);
    // Written this way round so that NaN fails too.
    if (errno != 0 || end == text || *end != '\0' || !(parsed >= 0.0 && parsed <= 1.0)) {
        return false;
    }
    value = parsed;
    return true;
}

// "I=0xFF" or "BS=253": a command name and a status byte: "" or the
// problem.
std::string TakeStatusOverride(const std::string &text, gpio_sim::SimOptions &options)
{
    std::string wanted = "wants CMD=0xNN with CMD one of I, O, T, BS, BC, V and a byte 0x00-0xFF";
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        return wanted;
    }
    const std::string command = text.substr(0, equals);
    if (gpio_tools::CommandNamed(command) == gpio_tools::Command::kUnknown) {
        return wanted;
    }
    std::uint64_t status = 0;
    std::string problem = TakeNumber(text.substr(equals + 1), 0, 0xFF, wanted, status);
    if (problem.empty()) {
        options.statusOverride[command] = static_cast<std::uint8_t>(status);
    }
    return problem;
}

void PrintStats(const gpio_sim::Simulator::Stats &stats, bool json)
{
    if (json) {
        gpio_tools::PrintJsonSummary({{"requests", stats.requests},
                                      {"ignored", stats.ignored},
                                      {"intact", stats.intact},
                                      {"faulted", stats.faulted},
                                      {"silenced", stats.silenced},
                                      {"with_dropped_bytes", stats.withDroppedBytes},
                                      {"dropped_bytes", stats.droppedBytes},
                                      {"with_corrupted_bytes", stats.withCorruptedBytes},
                                      {"corrupted_bytes", stats.corruptedBytes},
                                      {"delayed", stats.delayed}});
        return;
    }
    const auto n = [](std::uint64_t count) { return static_cast<unsigned long long>(count); };
    std::fprintf(stderr,
                 "gpio-sim: %llu requests (%llu ignored), %llu replies intact, %llu faulted: "
                 "%llu silenced, %llu with dropped bytes (%llu bytes), %llu with corrupted bytes "
                 "(%llu bytes), %llu delayed\n",
                 n(stats.requests), n(stats.ignored), n(stats.intact), n(stats.faulted), n(stats.silenced),
                 n(stats.withDroppedBytes), n(stats.droppedBytes), n(stats.withCorruptedBytes),
                 n(stats.corruptedBytes), n(stats.delayed));
}

// The text after the options in --help.
void AddSections(gpio_tools::CommandLine &line)
{
    line.Section("Output",
                 "The first lines on stdout are\n"
                 "  port: pts/N        the name to open (relative to /dev/)\n"
                 "  path: /dev/pts/N   the full path of the port\n"
                 "  link: PATH         only with --link\n"
                 "or with --json one object {\"port\":..,\"path\":..,\"link\":..}. With\n"
                 "--serial the one line is \"serial: PORT\" (or {\"serial\":..}). On exit a\n"
                 "line on stderr counts the requests and the faulted replies (with --json\n"
                 "an object {\"event\":\"summary\",...} on stdout). The trace goes to stderr:\n"
                 "host->dev for requests, dev->host for replies, note for a reply not sent.");
    line.Section("Standard input",
                 "Lines on standard input change the ports from outside while it serves,\n"
                 "as a wire or a switch would (numbers in decimal or 0x hex, as in every\n"
                 "option; a leading 0, as in 010, is refused):\n"
                 "  set PORT VALUE [MASK]  drive the pins of PORT in MASK (default 0xFF) to\n"
                 "                         VALUE: the next Input of PORT reads VALUE there\n"
                 "  release PORT           stop driving PORT: it reads its latch again\n"
                 "Each is confirmed on stderr, e.g. \"gpio-sim: port 1 reads 0x0F (pins 0xFF\n"
                 "driven)\".");
    line.Section("Faults on the line",
                 "The device still carries out every valid request; faults only touch\n"
                 "its reply on the way back. P is a probability from 0.0 to 1.0. Magic\n"
                 "ports take priority: their replies get neither --status nor random\n"
                 "faults. A --status reply goes through the faults like any other. With\n"
                 "--trace, faulted replies are marked \"[N bytes dropped]\", \"[N bytes\n"
                 "corrupted]\", \"[delayed N ms]\" or \"[silenced]\".");
    line.Section("Device",
                 "Ports 0-3 of 8 bits, bits 0-7. Input reads the output latch, or the\n"
                 "level a set line drives.\n"
                 "Commands: I port | O port value | T port bit | BS port bit |\n"
                 "          BC port bit | V.");
    line.Section("Reply status bytes",
                 "  0x00  success\n"
                 "  0xFD  malformed request (empty or wrong length for its command)\n"
                 "  0xFE  unknown command\n"
                 "  0xFF  port or bit number out of range\n"
                 "A request with a bad CRC, or whose second address byte is not 0x40,\n"
                 "gets no reply.");
    std::string magic = "With --magic-ports, a request whose port operand is one of these is\n"
                        "carried out on port 0, and its reply is shaped as listed:\n";
    const std::string table = gpio_sim::MagicPortsHelp();
    for (std::size_t at = 0; at < table.size();) {
        const std::size_t end = table.find('\n', at);
        magic += "  " + table.substr(at, end - at) + "\n";
        at = end + 1;
    }
    line.Section("Magic ports", magic);
    line.Section("Exit status",
                 "  0   stopped by SIGINT or SIGTERM\n"
                 "  1   could not start (no pseudo-terminal, --link or --serial\n"
                 "      refused), or the output could not be written\n"
                 "  64  usage error");
}

// The command line, as the help shows it.
void Declare(gpio_tools::CommandLine &line, gpio_sim::SimOptions &options, std::string &link, std::string &serial,
             gpio_sim::TerminalAccess &access, bool &json, bool &trace, std::string &replyTimes)
{
    using gpio_tools::CommandLine;
    const auto milliseconds = [](unsigned &target, unsigned minimum, const char *range) {
        return CommandLine::Take([&target, minimum, range](const std::string &value) {
            std::uint64_t parsed = 0;
            std::string problem =
                TakeNumber(value, minimum, 60000, std::string("wants milliseconds (") + range + ")", parsed);
            target = problem.empty() ? static_cast<unsigned>(parsed) : target;
            return problem;
        });
    };
    const auto rate = [](double &target) {
        return CommandLine::Take([&target](const std::string &value) {
            return ParseRate(value.c_str(), target) ? std::string() : "wants a probability from 0.0 to 1.0";
        });
    };
    line.Option("--version-text", "TEXT",
                "text of the version reply (default \"GPIO-SIM 1.0\";\ndiscovery needs it to start with \"GPIO-\")",
                &options.versionText);
    line.Option("--delay", "MS", "wait MS milliseconds before every reply", milliseconds(options.replyDelayMs, 0, "0-60000"));
    line.Flag("--pace", "write replies at the pace of 38400 baud, one byte\nabout every 260 us", &options.pace38400);
    line.Flag("--trace", "print every frame, both directions, to stderr", &trace);
    line.Flag("--json", "print the port lines and the summary as JSON objects", &json);
    line.Option("--reply-times", "FILE",
                "append a line to FILE for every piece of reply written:\n"
                "its request's number (from 0), when the request came\n"
                "and when the piece went out, in microseconds of the\n"
                "monotonic clock",
                &replyTimes);
    line.Flag("--magic-ports", "let the port numbers listed below provoke faults", &options.magicPorts);
    line.Option("--link", "PATH",
                "create the symbolic link PATH to the port and remove\n"
                "it on exit; an existing link is replaced only if it\n"
                "points at a pseudo-terminal",
                &link);
    line.Option("--group", "NAME",
                "give the pseudo-terminal the group NAME (dialout), so\n"
                "that a service of that group can open it",
                &access.group);
    line.Option("--mode", "MODE",
                "give the pseudo-terminal the mode MODE, in octal as\n"
                "chmod takes it (660 or 0660)",
                [&access](const std::string &value) {
                    const bool octal = value.size() >= 3 && value.size() <= 4 &&
                                       value.find_first_not_of("01234567") == std::string::npos;
                    access.mode = octal ? static_cast<int>(std::stoul(value, nullptr, 8)) : -1;
                    return octal && access.mode <= 0777 ? std::string() : std::string("wants an octal mode, 660 or 0660");
                });
    line.Option("--serial", "PORT",
                "serve on the existing serial port PORT (ttyS0,\n"
                "/dev/ttyUSB0, COM6) instead of a pseudo-terminal: a\n"
                "null-modem cable's end, or one end of a virtual pair",
                &serial);
    line.Option("--drop-rate", "P", "leave out each reply byte with probability P", rate(options.dropRate));
    line.Option("--corrupt-rate", "P", "flip one random bit of each reply byte with\nprobability P",
                rate(options.corruptRate));
    line.Option("--delay-rate", "P", "hold back a reply with probability P, by a random 1 to\n--delay-max ms on top of --delay",
                rate(options.delayRate));
    line.Option("--delay-max", "MS", "the longest such delay, 1-60000 (default 80)",
                milliseconds(options.delayMaxMs, 1, "1-60000"));
    line.Option("--silence-rate", "P", "send no reply at all with probability P", rate(options.silenceRate));
    line.Option("--seed", "N",
                "seed of the random faults, 0-4294967295 (default 1);\nthe same seed and requests give the same faults",
                [&options](const std::string &value) {
                    std::uint64_t seed = 0;
                    std::string problem =
                        TakeNumber(value, 0, 0xFFFFFFFFU, "wants a number from 0 to 4294967295", seed);
                    options.seed = problem.empty() ? static_cast<std::uint32_t>(seed) : options.seed;
                    return problem;
                });
    line.Option("--status", "CMD=0xNN",
                "answer every request of command CMD (I, O, T, BS,\n"
                "BC or V) with the status byte NN alone, after\n"
                "carrying it out; repeatable, e.g. --status I=0xFF",
                [&options](const std::string &value) { return TakeStatusOverride(value, options); });
    AddSections(line);
}

// The program; main() checks its output when it ends.
int Main(int argc, char **argv)
{
    gpio_sim::SimOptions options;
    // The program runs until stopped; a history of every frame would only grow.
    options.keepHistory = false;
    std::string link;
    std::string serial;
    gpio_sim::TerminalAccess access;
    bool json = false;
    bool trace = false;
    std::string replyTimes;
    gpio_tools::CommandLine line("gpio-sim", "[OPTIONS]",
                                 "Simulates the digital I/O controller on a pseudo-terminal, or on a\n"
                                 "serial port (--serial), and serves requests until SIGINT or SIGTERM.");
    Declare(line, options, link, serial, access, json, trace, replyTimes);
    const int parsed = line.Parse(argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    options.trace = trace ? stderr : nullptr;
    // Closed by the system when the process ends; written only by the
    // serving thread.
    if (!replyTimes.empty()) {
        options.replyTimes = std::fopen(replyTimes.c_str(), "a");
        if (options.replyTimes == nullptr) {
            std::fprintf(stderr, "gpio-sim: cannot open %s for the reply times\n",
                         gpio_tools::SafeText(replyTimes).c_str());
            return 1;
        }
    }
    if (!serial.empty() && !link.empty()) {
        return line.UsageError("--link names gpio-sim's own pseudo-terminal, and with --serial there is none");
    }
    if (!serial.empty() && (!access.group.empty() || access.mode >= 0)) {
        return line.UsageError("--group and --mode are for gpio-sim's own pseudo-terminal, and with --serial there is none");
    }
    if (serial.empty() && !gpio_sim::kHasPseudoTerminals) {
        return line.UsageError("this system has no pseudo-terminals: give --serial PORT, one end of a null-modem "
                               "pair (COM6, with its other end COM5 for the program under test)");
    }

    // Held before the serving thread starts, so that it inherits the hold
    // and only ServeStdinUntilStopped ever takes a stop request.
    gpio_sim::HoldStopRequests();

    try {
        // Refused options are said before the line is opened and announced.
        gpio_sim::CheckSimOptions(options);
        std::unique_ptr<gpio_sim::SimLine> served;
        if (serial.empty()) {
            served = gpio_sim::OpenOwnPty(link, json, access);
        } else {
            std::string error;
            served = gpio_sim::SerialLine::Open(serial, error);
            if (!served) {
                // The cause holds the port's name, and may hold a command
                // read from /proc: outside bytes, escaped.
                std::fprintf(stderr, "gpio-sim: cannot serve on %s: %s\n", gpio_tools::SafeText(serial).c_str(),
                             gpio_tools::SafeText(error).c_str());
            }
        }
        if (!served) {
            return 1;
        }
        gpio_sim::Simulator simulator(options, std::move(served));
        if (!serial.empty()) {
            if (json) {
                std::printf("%s\n", gpio_tools::JsonLine({{"serial", gpio_tools::JsonText(serial)}}).c_str());
            } else {
                std::printf("serial: %s\n", gpio_tools::SafeText(serial).c_str());
            }
            std::fflush(stdout);
        }

        // Serves `set PORT VALUE` lines of stdin until a stop request.
        gpio_sim::ServeStdinUntilStopped(simulator.Model(), stderr);
        PrintStats(simulator.GetStats(), json);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "gpio-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) { return gpio_tools::FinishOutput("gpio-sim", Main(argc, argv)); }
