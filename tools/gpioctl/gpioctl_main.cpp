// gpioctl: every operation of the library from the command line.
//
//   gpioctl [--port NAME | --simulate] [--json] COMMAND [ARGS]
//
// Each operation prints one line naming its result. The exit status is 0
// on success (for bit-test, high or low), the result code otherwise, and 64
// for a usage error. The command line is read as in every tool of the
// project (tools/common/command_line.h).
#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define GPIOCTL_ISATTY _isatty
#define GPIOCTL_FILENO _fileno
#else
#include <unistd.h>
#define GPIOCTL_ISATTY isatty
#define GPIOCTL_FILENO fileno
#endif

#include "command_line.h"
#include "gpiolink.h"
#include "open_failure.h"
#include "report.h"
#include "text_output.h"
#include "watch.h"

#ifdef GPIOCTL_SIMULATOR
#include "pty_simulator.h"
#endif

namespace {

using gpio_tools::CommandLine;

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

// "" for a number from `min` to `max`, read into `value`; else what is
// wrong with `text`.
std::string CheckNumber(const std::string &what, const std::string &text, unsigned min, unsigned max,
                        const std::string &range, unsigned &value)
{
    switch (ParseNumber(text, max, value)) {
    case Number::kValid:
        if (value >= min) {
            return {};
        }
        break;
    case Number::kLeadingZero:
        return what + " '" + text + "' has a leading 0, which some tools read as octal: write it in decimal " +
               "without the 0, or in hex with 0x";
    case Number::kInvalid:
        break;
    }
    return what + " '" + text + "' is not a number from " + range;
}

const char *const kByteRange = "0 to 255 (or 0x00 to 0xFF)";

// One operation of the library, as a command names it.
struct Operation {
    std::string command;
    unsigned char port = 0;
    unsigned char second = 0;  // value or bit
    unsigned count = 1000;     // bench
};

// Set by SIGINT while bench runs: it stops and reports what it has.
volatile std::sig_atomic_t g_stop = 0;

extern "C" void StopBench(int /*signal*/) { g_stop = 1; }

// Times `count` input exchanges and reports their rate and latency; on a
// terminal it shows its progress, and Ctrl-C stops it with the figures so
// far.
int Bench(HANDLE handle, unsigned count, gpioctl::Report &report, bool &stopped)
{
    using Clock = std::chrono::steady_clock;
    const bool progress = GPIOCTL_ISATTY(GPIOCTL_FILENO(stderr)) != 0;
    std::vector<double> times;
    times.reserve(count);
    g_stop = 0;
    const auto previous = std::signal(SIGINT, StopBench);
    const auto start = Clock::now();
    auto shown = start;
    int result = GPIO_RESULT_OK;
    for (unsigned i = 0; i < count && g_stop == 0; ++i) {
        unsigned char value = 0;
        const auto before = Clock::now();
        result = GPIO_Input(handle, 0, &value);
        const auto after = Clock::now();
        if (result != GPIO_RESULT_OK) {
            break;
        }
        times.push_back(std::chrono::duration<double, std::milli>(after - before).count());
        if (progress && (after - shown > std::chrono::milliseconds(250) || i + 1 == count)) {
            std::fprintf(stderr, "\rbench: %u of %u exchanges", i + 1, count);
            std::fflush(stderr);
            shown = after;
        }
    }
    std::signal(SIGINT, previous);
    if (progress) {
        std::fprintf(stderr, "\r%40s\r", "");
    }
    stopped = g_stop != 0;
    report.AsTable();
    report.Number("exchanges", static_cast<double>(times.size()));
    if (!times.empty()) {
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::sort(times.begin(), times.end());
        const auto at = [&](double share) { return times[static_cast<std::size_t>(share * double(times.size() - 1))]; };
        report.Number("per_second", double(times.size()) / seconds, "per second");
        report.Number("median_ms", at(0.5), "median", "ms");
        report.Number("p99_ms", at(0.99), "99th percentile", "ms");
    }
    if (stopped) {
        report.Text("stopped", "by Ctrl-C after " + std::to_string(times.size()) + " of " + std::to_string(count));
    }
    return result;
}

// Runs one operation on the open interface; its fields go to `report`.
int Run(const Operation &op, HANDLE handle, gpioctl::Report &report, bool &stopped)
{
    if (op.command == "version") {
        char text[256] = "";
        const int result = GPIO_GetVersion(handle, text, sizeof(text));
        if (result == GPIO_RESULT_OK) {
            report.Text("version", text);
        }
        return result;
    }
    if (op.command == "bench") {
        return Bench(handle, op.count, report, stopped);
    }
    report.Number("port", op.port);
    if (op.command == "input") {
        unsigned char value = 0;
        const int result = GPIO_Input(handle, op.port, &value);
        if (result == GPIO_RESULT_OK) {
            report.Byte("value", value);
        }
        return result;
    }
    if (op.command == "output") {
        report.Byte("value", op.second);
        return GPIO_Output(handle, op.port, op.second);
    }
    report.Number("bit", op.second);
    if (op.command == "bit-test") {
        const int result = GPIO_BitTest(handle, op.port, op.second);
        if (result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW) {
            report.Text("level", result == GPIO_RESULT_BIT_HIGH ? "high" : "low");
        }
        return result;
    }
    if (op.command == "bit-set") {
        return GPIO_BitSet(handle, op.port, op.second);
    }
    return GPIO_BitReset(handle, op.port, op.second);
}

bool Succeeded(const std::string &command, int result)
{
    return result == GPIO_RESULT_OK ||
           (command == "bit-test" && (result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW));
}

// Runs an operation and prints its report. A result that means something
// particular after a successful open is said so. Returns the exit status.
int RunAndReport(const Operation &op, HANDLE handle, bool json, bool named)
{
    gpioctl::Report report(json, named);
    bool stopped = false;
    const int result = Run(op, handle, report, stopped);
    if (result == GPIO_RESULT_BAD_HANDLE) {
        report.Explain(gpio_tools::kPortStoppedResponding);  // the handle was open and good
    } else if (result == GPIO_RESULT_IO_ERROR) {
        report.Explain("the reply was corrupted or had status 0xFD, or the port took no bytes");
    }
    report.Print(op.command, result);
    if (stopped) {
        return 130;  // as a shell reports a program stopped by SIGINT
    }
    return Succeeded(op.command, result) ? 0 : result;
}

// A short session: the version, then output, input, bit set, bit test and
// bit reset on port 1, a line each, each run as its own command would run
// it. Returns the first failure, else 0.
int Demo(HANDLE handle, bool json)
{
    const Operation steps[] = {{"version"},         {"output", 1, 0xA5}, {"input", 1},       {"bit-set", 1, 1},
                               {"bit-test", 1, 1}, {"bit-reset", 1, 1}, {"bit-test", 1, 1}};
    int first = 0;
    for (const Operation &step : steps) {
        const int status = RunAndReport(step, handle, json, true);
        if (first == 0) {
            first = status;
        }
    }
    return first;
}

// `text` in lines of at most 78 characters, each after `indent` spaces.
std::string Wrapped(const std::string &text, std::size_t indent)
{
    std::string out;
    std::string line;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        end = end == std::string::npos ? text.size() : end;
        const std::string word = text.substr(at, end - at);
        if (!line.empty() && indent + line.size() + 1 + word.size() > 78) {
            out += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = end + 1;
    }
    return out + std::string(indent, ' ') + line + "\n";
}

// The exit statuses for --help: the library's result codes and gpioctl's own.
std::string ExitStatusText()
{
    std::string text = "  0   success (bit-test: high or low)\n";
    for (int code = GPIO_RESULT_BAD_HANDLE; code <= GPIO_RESULT_UNEXPECTED; ++code) {
        text += "  " + std::to_string(code) + "   " + gpiolink_result_name(code) + "\n" +
                Wrapped(std::string(gpiolink_result_text(code)) +
                            (code == GPIO_RESULT_TIMEOUT ? "; scan: no port answered" : ""),
                        6);
    }
    text += "  1   also: the output could not be written (its operation succeeded)\n"
            "  64  usage error\n  130 bench stopped by Ctrl-C (its figures so far are printed)\n";
    return text;
}

struct Arguments {
    std::string port;
    std::string watchCount;
    bool json = false;
    bool simulate = false;
    bool trace = false;
};

void Declare(CommandLine &line, Arguments &args)
{
    line.Option("--port", "NAME",
#ifdef _WIN32
                "the controller's serial port, e.g. COM3; without it, scan\nfinds the port",
#else
                "the controller's serial port, e.g. ttyUSB0 or\n/dev/ttyUSB0; without it, scan finds the port",
#endif
                [&args](const std::string &name) {
                    args.port = name;
                    return name.empty() ? std::string("wants a port name") : std::string();
                });
    line.Flag("--json", "print a JSON object per operation instead of text", &args.json);
#ifdef GPIOCTL_SIMULATOR
    line.Flag("--simulate", "start the simulated controller on a pseudo-terminal\nand use it", &args.simulate);
    line.Flag("--trace", "with --simulate: print every frame on the wire, both\nways, to stderr", &args.trace);
#endif
    line.Command("scan", "", "find the port on which the controller answers");
    line.Command("ports", "", "list the ports scan would try, in its order");
    line.Command("version", "", "read the controller's version text");
    line.Command("input", "PORT", "read a port (0-255)");
    line.Command("output", "PORT VALUE", "write VALUE (0-255, or 0x00-0xFF) to a port");
    line.Command("bit-test", "PORT BIT", "test one bit: high or low");
    line.Command("bit-set", "PORT BIT", "set one bit");
    line.Command("bit-reset", "PORT BIT", "reset (clear) one bit");
    line.Command("demo", "", "run a short session: version, output, input, bit set,\nbit test, bit reset");
    line.Command("bench", "[N]", "time N input exchanges on port 0 (default 1000); Ctrl-C\nstops it with the figures so far");
    line.Command("watch", "PORT...",
                 "show ports live, a row of 8 bits each; on a terminal, a\n"
                 "port number then a bit number toggles that output bit, q\n"
                 "quits");
    line.Option("--count", "N", "with watch: end after N lines, a line per change (first\nreads included)",
                &args.watchCount);
    line.Section("Port names",
#ifdef _WIN32
                 "A name such as COM3, of up to 15 characters, opened as \\\\.\\COM3 (so COM10\n"
                 "and above work too).\n"
#else
                 "A path such as /dev/ttyUSB0 or /dev/serial/by-id/..., or a name below /dev/\n"
                 "such as ttyUSB0, ttyACM0 or the pts/N that gpio-sim prints.\n"
#endif
                 "Port, bit and value numbers are decimal, or hex with 0x.");
    line.Section("Exit status", ExitStatusText());
}

// The operation the command line asks for (for watch, the ports in
// `watched`); "" when it is all good, else the usage error.
std::string ReadOperation(const CommandLine &line, Operation &op, std::vector<std::uint8_t> &watched)
{
    op.command = line.CommandName();
    const std::vector<std::string> &operands = line.OperandValues();
    if (op.command == "bench") {
        return operands.empty() ? std::string()
                                : CheckNumber("N", operands[0], 1, 10000000, "1 to 10000000", op.count);
    }
    unsigned value = 0;
    if (op.command == "watch") {
        for (const std::string &operand : operands) {
            const std::string problem = CheckNumber("PORT", operand, 0, 255, kByteRange, value);
            if (!problem.empty()) {
                return problem;
            }
            watched.push_back(static_cast<std::uint8_t>(value));
        }
        return {};
    }
    const char *const names[] = {"PORT", op.command == "output" ? "VALUE" : "BIT"};
    unsigned char *const fields[] = {&op.port, &op.second};
    for (std::size_t i = 0; i < operands.size() && i < 2; ++i) {
        const std::string problem = CheckNumber(names[i], operands[i], 0, 255, kByteRange, value);
        if (!problem.empty()) {
            return problem;
        }
        *fields[i] = static_cast<unsigned char>(value);
    }
    return {};
}

std::string Joined(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

// `gpioctl ports`: one name a line, or a JSON object.
int ListPorts(bool json)
{
    const std::vector<std::string> ports = gpio_tools::DiscoveryPorts();
    if (json) {
        std::string out = "{\"operation\":\"ports\",\"ports\":[";
        for (std::size_t i = 0; i < ports.size(); ++i) {
            out += (i == 0 ? "" : ",") + gpio_tools::JsonString(ports[i]);
        }
        std::printf("%s]}\n", out.c_str());
    } else {
        for (const std::string &port : ports) {
            std::printf("%s\n", gpio_tools::SafeText(port).c_str());
        }
    }
    return 0;
}

// Scan, for the scan command or for a command without --port. Returns
// -1 with the port found in `port`, else the exit status after the report.
int Scan(const std::string &command, const Arguments &args, std::string &port)
{
    char found[20] = "";
    const int result = GPIO_ScanInterface(found);
    if (command != "scan" && result == GPIO_RESULT_OK && found[0] != '\0') {
        port = found;
        return -1;
    }
    gpioctl::Report scan(args.json);
    // No answer on any port is reported as the time-out it was.
    const int shown = result == GPIO_RESULT_OK && found[0] == '\0' ? GPIO_RESULT_TIMEOUT : result;
    if (found[0] != '\0') {
        scan.Text("port", found);
    } else if (result == GPIO_RESULT_OK) {
        const std::vector<std::string> tried = gpio_tools::DiscoveryPorts();
        scan.Explain(tried.empty() ? "scan found no controller: this system lists no serial port"
                                   : "scan found no controller on the ports it tried: " + Joined(tried));
    }
    if (args.simulate) {
        // The simulator ends with this process: its port cannot be named
        // to a later command.
        scan.Text("note", "the simulated controller's port " + args.port +
                              " is a pseudo-terminal, which is not in the system's port list, so scan "
                              "cannot find it; use --simulate with another command, or start gpio-sim "
                              "and give the port it prints with --port");
    }
    scan.Print("scan", shown);
    return shown;
}

// The program; main() checks its output when it ends.
int Main(int argc, char **argv)
{
    Arguments args;
    CommandLine line("gpioctl", "[--port NAME | --simulate] [--json] COMMAND [ARGUMENTS]",
                     "Drives the digital I/O controller on a serial port. Without --port, the\n"
                     "port that scan finds is used. Options may come before or after the command.");
    Declare(line, args);
    const int parsed = line.Parse(argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    Operation op;
    std::vector<std::uint8_t> watched;
    const std::string problem = ReadOperation(line, op, watched);
    if (!problem.empty()) {
        return line.UsageError(problem);
    }
    if (args.simulate && line.Given("--port")) {
        return line.UsageError("--simulate makes its own port and takes no --port");
    }
    unsigned watchCount = 0;  // 0: no end
    if (!args.watchCount.empty()) {
        const std::string problem = op.command != "watch" ? std::string("--count goes with watch only")
                                                          : CheckNumber("--count", args.watchCount, 1, 1000000000,
                                                                        "1 to 1000000000", watchCount);
        if (!problem.empty()) {
            return line.UsageError(problem);
        }
    }
    if (args.trace && !args.simulate) {
        return line.UsageError("--trace needs --simulate: it traces the simulated controller's wire");
    }
    if ((op.command == "scan" || op.command == "ports") && line.Given("--port")) {
        return line.UsageError(op.command + " searches the system's ports and takes no --port; "
                                            "'gpioctl --port NAME version' asks one port");
    }
    if (op.command == "ports") {
        return ListPorts(args.json);
    }

#ifdef GPIOCTL_SIMULATOR
    std::unique_ptr<gpio_sim::PtySimulator> simulator;
    if (args.simulate) {
        gpio_sim::SimOptions options;
        options.pace38400 = true;  // realistic timing for a session
        // On stderr, so that stdout carries only the results (JSON too).
        options.trace = args.trace ? stderr : nullptr;
        simulator = std::make_unique<gpio_sim::PtySimulator>(options);
        args.port = simulator->PortName();
    }
#endif

    if (op.command == "scan" || args.port.empty()) {
        const int status = Scan(op.command, args, args.port);
        if (status >= 0) {
            return status;
        }
    }

    HANDLE handle = nullptr;
    const int opened = GPIO_OpenInterface(args.port.c_str(), &handle);
    if (opened != GPIO_RESULT_OK) {
        gpioctl::Report failure(args.json);
        failure.Explain("the port could not be opened");
        failure.Text("port", args.port);
        failure.Text("cause", gpio_tools::DescribeOpenFailure(args.port));
        failure.Print("open", opened);
        return opened;
    }
    int status = 0;
    if (op.command == "watch") {  // until q or a signal
        status = gpioctl::Watch(handle, {args.port, watched, args.json, watchCount});
    } else if (op.command == "demo") {
        status = Demo(handle, args.json);
    } else {
        status = RunAndReport(op, handle, args.json, false);
    }
    GPIO_CloseInterface(handle);
    return status;
}

}  // namespace

int main(int argc, char **argv) { return gpio_tools::FinishOutput("gpioctl", Main(argc, argv)); }
