// gpioctl: every operation of the library from the command line.
//
//   gpioctl [--port NAME | --simulate] [--json] COMMAND [ARGS]
//
// Each operation prints one line naming its result. The exit status is 0
// on success (for bit-test, high or low), the result code otherwise, and 64
// for a usage error.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gpiolink.h"
#include "open_failure.h"
#include "report.h"
#include "watch.h"

#ifdef GPIOCTL_SIMULATOR
#include "pty_simulator.h"
#endif

namespace {

constexpr int kUsageError = 64;

enum class Number { kValid, kInvalid, kLeadingZero };

// Reads a number from 0 to `max` in decimal or 0x hex. A decimal number
// with a leading 0 ("010") is refused as ambiguous: other tools read it as
// octal.
Number ParseNumber(const std::string &text, unsigned max, unsigned &value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) {
        return Number::kInvalid;
    }
    unsigned number = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return Number::kInvalid;
        }
        number = number * (hex ? 16U : 10U) + digit;
        if (number > max) {
            return Number::kInvalid;
        }
    }
    if (!hex && digits.size() > 1 && digits[0] == '0') {
        return Number::kLeadingZero;
    }
    value = number;
    return Number::kValid;
}

// A validator of numbers from `min` to `max`, named `range` in messages.
CLI::Validator NumberValidator(unsigned min, unsigned max, const std::string &range)
{
    return CLI::Validator(
        [min, max, range](std::string &text) {
            unsigned value = 0;
            switch (ParseNumber(text, max, value)) {
            case Number::kValid:
                return value >= min ? std::string() : "'" + text + "' is not a number from " + range;
            case Number::kLeadingZero:
                return "'" + text + "' has a leading 0, which some tools read as octal: write it in decimal " +
                       "without the 0, or in hex with 0x";
            case Number::kInvalid:
                break;
            }
            return "'" + text + "' is not a number from " + range;
        },
        range, "number");
}

const CLI::Validator kByte = NumberValidator(0, 255, "0 to 255 (or 0x00 to 0xFF)");

// The value of a validated number.
unsigned NumberOf(const std::string &text)
{
    unsigned value = 0;
    ParseNumber(text, ~0U, value);
    return value;
}

unsigned char Byte(const std::string &text)
{
    return static_cast<unsigned char>(NumberOf(text));
}

// The first word of the command line that is neither an option nor the
// value of --port: the command the user meant.
std::string CommandWord(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port") {
            ++i;
        } else if (!arg.empty() && arg[0] != '-') {
            return arg;
        }
    }
    return {};
}

// The end of --help: the port names of this platform and the exit codes.
std::string HelpFooter()
{
    std::string text =
#ifdef _WIN32
        "Port names: a name such as COM3, of up to 15 characters, opened as \\\\.\\COM3 (so COM10 and\n"
        "above work too).\n";
#else
        "Port names: a path such as /dev/ttyUSB0 or /dev/serial/by-id/..., or a name below /dev/ such as\n"
        "ttyUSB0, ttyACM0 or gpio-sim's pts/3.\n";
#endif
    text += "\nExit status:\n  0   success (bit-test: high or low)\n";
    for (int code = GPIO_RESULT_BAD_HANDLE; code <= GPIO_RESULT_UNEXPECTED; ++code) {
        text += "  " + std::to_string(code) + "   " + gpiolink_result_name(code) + ": " + gpiolink_result_text(code) +
                (code == GPIO_RESULT_TIMEOUT ? "; scan: no port answered" : "") + "\n";
    }
    text += "  64  usage error\n";
    return text;
}

struct Arguments {
    std::string port;
    bool json = false;
    bool simulate = false;
    bool trace = false;
    std::string portOperand;
    std::string second;  // value or bit
    std::string count = "1000";
    std::vector<std::string> watchPorts;
    std::string watchCount = "0";
};

// Times `count` input exchanges and reports their rate and latency.
int Bench(HANDLE handle, int count, gpioctl::Report &report)
{
    using Clock = std::chrono::steady_clock;
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        unsigned char value = 0;
        const auto before = Clock::now();
        const int result = GPIO_Input(handle, 0, &value);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        if (result != GPIO_RESULT_OK) {
            report.Number("completed", i);
            return result;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(times.begin(), times.end());
    const auto at = [&](double share) { return times[static_cast<std::size_t>(share * double(times.size() - 1))]; };
    report.Number("exchanges", count);
    report.Number("per_second", double(count) / seconds);
    report.Number("median_ms", at(0.5));
    report.Number("p99_ms", at(0.99));
    return GPIO_RESULT_OK;
}

// A short session: the version, then output, input, bit set, bit test and
// bit reset on port 1, a line each. Returns the first failure, else 0.
int Demo(HANDLE handle, bool json)
{
    int first = GPIO_RESULT_OK;
    const auto show = [&](const char *operation, int result, gpioctl::Report &report) {
        if (result == GPIO_RESULT_BAD_HANDLE) {
            report.Explain(gpioctl::kPortStoppedResponding);
        }
        report.Print(operation, result);
        const bool ok = result == GPIO_RESULT_OK || result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW;
        if (!ok && first == GPIO_RESULT_OK) {
            first = result;
        }
    };
    {
        gpioctl::Report report(json, true);
        char text[256];
        const int result = GPIO_GetVersion(handle, text, sizeof(text));
        if (result == GPIO_RESULT_OK) {
            report.Text("version", text);
        }
        show("version", result, report);
    }
    {
        gpioctl::Report report(json, true);
        report.Byte("port", 1);
        report.Byte("value", 0xA5);
        show("output", GPIO_Output(handle, 1, 0xA5), report);
    }
    {
        gpioctl::Report report(json, true);
        unsigned char value = 0;
        const int result = GPIO_Input(handle, 1, &value);
        report.Byte("port", 1);
        if (result == GPIO_RESULT_OK) {
            report.Byte("value", value);
        }
        show("input", result, report);
    }
    const struct {
        const char *operation;
        int (*call)(HANDLE, unsigned char, unsigned char);
    } bitSteps[] = {{"bit-set", GPIO_BitSet}, {"bit-test", GPIO_BitTest}, {"bit-reset", GPIO_BitReset},
                    {"bit-test", GPIO_BitTest}};
    for (const auto &step : bitSteps) {
        gpioctl::Report report(json, true);
        report.Byte("port", 1);
        report.Number("bit", 1);
        const int result = step.call(handle, 1, 1);
        if (result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW) {
            report.Text("level", result == GPIO_RESULT_BIT_HIGH ? "high" : "low");
        }
        show(step.operation, result, report);
    }
    return first;
}

// Runs one subcommand on the open interface.
int RunOperation(const std::string &command, HANDLE handle, const Arguments &args, gpioctl::Report &report)
{
    const unsigned char port = Byte(args.portOperand);
    const unsigned char second = Byte(args.second);
    if (command == "version") {
        char text[256];
        const int result = GPIO_GetVersion(handle, text, sizeof(text));
        if (result == GPIO_RESULT_OK) {
            report.Text("version", text);
        }
        return result;
    }
    if (command == "bench") {
        return Bench(handle, static_cast<int>(NumberOf(args.count)), report);
    }
    report.Byte("port", port);
    if (command == "input") {
        unsigned char value = 0;
        const int result = GPIO_Input(handle, port, &value);
        if (result == GPIO_RESULT_OK) {
            report.Byte("value", value);
        }
        return result;
    }
    if (command == "output") {
        report.Byte("value", second);
        return GPIO_Output(handle, port, second);
    }
    report.Number("bit", second);
    if (command == "bit-test") {
        const int result = GPIO_BitTest(handle, port, second);
        if (result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW) {
            report.Text("level", result == GPIO_RESULT_BIT_HIGH ? "high" : "low");
        }
        return result;
    }
    if (command == "bit-set") {
        return GPIO_BitSet(handle, port, second);
    }
    return GPIO_BitReset(handle, port, second);
}

// The exit status of an operation's result.
int ExitStatus(const std::string &command, int result)
{
    if (command == "bit-test" && (result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW)) {
        return 0;
    }
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"gpioctl: drive the digital I/O controller on a serial port.\n"
                 "Without --port, the port that scan finds is used."};
    app.set_help_all_flag("--help-all", "Show the help of every command");
    Arguments args;
    app.footer(HelpFooter());
    app.add_option("--port", args.port, "Serial port name: COM3 on Windows, /dev/ttyUSB0 or pts/3 on Linux")
        ->check(CLI::Validator(
            [](std::string &name) { return name.empty() ? std::string("the port name is empty") : std::string(); },
            "", "non-empty"));
    app.add_flag("--json", args.json, "Print a JSON object per operation instead of text");
#ifdef GPIOCTL_SIMULATOR
    app.add_flag("--simulate", args.simulate, "Start the simulated controller on a pseudo-terminal and use it")
        ->excludes("--port");
    app.add_flag("--trace", args.trace, "With --simulate: print every frame on the wire, both ways")
        ->needs("--simulate");
#endif
    app.require_subcommand(1);

    app.add_subcommand("scan", "Find the port on which the controller answers");
    app.add_subcommand("version", "Read the controller's version text");
    CLI::App *input = app.add_subcommand("input", "Read a port");
    input->add_option("PORT", args.portOperand, "Port number")->required()->check(kByte);
    CLI::App *output = app.add_subcommand("output", "Write a port");
    output->add_option("PORT", args.portOperand, "Port number")->required()->check(kByte);
    output->add_option("VALUE", args.second, "Value to write")->required()->check(kByte);
    for (const auto &[name, help] : {std::pair<const char *, const char *>{"bit-test", "Test one bit"},
                                     {"bit-set", "Set one bit"},
                                     {"bit-reset", "Reset (clear) one bit"}}) {
        CLI::App *bit = app.add_subcommand(name, help);
        bit->add_option("PORT", args.portOperand, "Port number")->required()->check(kByte);
        bit->add_option("BIT", args.second, "Bit number")->required()->check(kByte);
    }
    app.add_subcommand("demo", "Run a short session: version, output, input, bit set, bit test, bit reset");
    CLI::App *bench = app.add_subcommand("bench", "Time N input exchanges on port 0 (default 1000)");
    bench->add_option("N", args.count, "Number of exchanges")->check(NumberValidator(1, 10000000, "1 to 10000000"));
    CLI::App *watch = app.add_subcommand("watch", "Show ports live, a row of 8 bits each; on a terminal, a port "
                                                  "number then a bit number toggles that output bit, q quits");
    watch->add_option("PORTS", args.watchPorts, "Port numbers")->required()->check(kByte);
    watch->add_option("--count", args.watchCount, "End after N lines, a line per change (first reads included)")
        ->check(NumberValidator(1, 1000000000, "1 to 1000000000"));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::CallForAllHelp &) {
        std::printf("%s", app.help("", CLI::AppFormatMode::All).c_str());
        return 0;
    } catch (const CLI::ParseError &error) {
        const std::string word = CommandWord(argc, argv);
        if (!word.empty() && app.get_subcommands([&word](CLI::App *sub) { return sub->check_name(word); }).empty()) {
            std::fprintf(stderr, "gpioctl: unknown command '%s'\nRun 'gpioctl --help' for the commands.\n",
                         word.c_str());
        } else {
            std::fprintf(stderr, "gpioctl: %s\nRun 'gpioctl --help' for usage.\n", error.what());
        }
        return kUsageError;
    }
    const std::string command = app.get_subcommands().front()->get_name();
    if (command == "scan" && app.count("--port") > 0) {
        std::fprintf(stderr, "gpioctl: scan searches the system's ports and takes no --port; "
                             "'gpioctl --port NAME version' asks one port\n");
        return kUsageError;
    }
    gpioctl::Report report(args.json);

#ifdef GPIOCTL_SIMULATOR
    std::unique_ptr<gpio_sim::PtySimulator> simulator;
    if (args.simulate) {
        gpio_sim::SimOptions options;
        options.pace38400 = true;  // realistic timing for a session
        options.trace = args.trace ? stdout : nullptr;
        simulator = std::make_unique<gpio_sim::PtySimulator>(options);
        args.port = simulator->PortName();
    }
#endif

    if (command == "scan" || args.port.empty()) {
        char found[20] = "";
        const int result = GPIO_ScanInterface(found);
        if (command == "scan" || result != GPIO_RESULT_OK || found[0] == '\0') {
            gpioctl::Report scan(args.json);
            if (found[0] != '\0') {
                scan.Text("port", found);
            }
            if (args.simulate) {
                // The simulator ends with this process: its port cannot be
                // named to a later command.
                scan.Text("note", "the simulated controller's port " + args.port +
                                      " is a pseudo-terminal, which is not in the system's port list, so scan "
                                      "cannot find it; use --simulate with another command, or start gpio-sim "
                                      "and give the port it prints with --port");
            }
            // No answer on any port is reported as the time-out it was.
            const int shown = result == GPIO_RESULT_OK && found[0] == '\0' ? GPIO_RESULT_TIMEOUT : result;
            scan.Print("scan", shown);
            if (command == "scan" || shown != GPIO_RESULT_OK) {
                return shown;
            }
        }
        args.port = found;
    }

    HANDLE handle = nullptr;
    const int opened = GPIO_OpenInterface(args.port.c_str(), &handle);
    if (opened != GPIO_RESULT_OK) {
        gpioctl::Report failure(args.json);
        failure.Explain("the port could not be opened");
        failure.Text("port", args.port);
        failure.Text("cause", gpioctl::DescribeOpenFailure(args.port));
        failure.Print("open", opened);
        return opened;
    }
    if (command == "watch") {  // until q or a signal
        std::vector<std::uint8_t> ports;
        for (const std::string &port : args.watchPorts) {
            ports.push_back(Byte(port));
        }
        const int status = gpioctl::Watch(handle, {args.port, ports, args.json, NumberOf(args.watchCount)});
        GPIO_CloseInterface(handle);
        return status;
    }
    if (command == "demo") {
        const int result = Demo(handle, args.json);
        GPIO_CloseInterface(handle);
        return result;
    }
    const int result = RunOperation(command, handle, args, report);
    GPIO_CloseInterface(handle);
    if (result == GPIO_RESULT_BAD_HANDLE) {
        report.Explain(gpioctl::kPortStoppedResponding);  // the handle was just opened
    }
    report.Print(command, result);
    return ExitStatus(command, result);
}
