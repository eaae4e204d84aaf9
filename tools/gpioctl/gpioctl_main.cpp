// gpioctl: every operation of the library from the command line.
//
//   gpioctl [--port NAME | --simulate] [--json] COMMAND [ARGS]
//
// Each operation prints one line naming its result. The exit status is 0
// on success (for bit-test, high or low), the result code otherwise, and 64
// for a usage error. The command line is read as in every tool of the
// project (tools/common/command_line.h); the commands, their operands and
// what runs each are one table (commands.cpp).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "discovery.h"
#include "gpiolink.h"
#include "help_text.h"
#include "number.h"
#include "open_failure.h"
#include "report.h"
#include "watch.h"

#ifdef GPIOCTL_SIMULATOR
#include "pty_simulator.h"
#endif

namespace {

using gpio_tools::CommandLine;
using namespace gpioctl;

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
    for (const CommandEntry &command : Commands()) {
        line.Command(command.name, command.operands, command.help);
    }
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
    op.command = line.CommandName();
    const Session session = CommandNamed(op.command).session;
    std::vector<std::uint8_t> watched;
    const std::string problem = ReadOperands(line.OperandValues(), op, watched);
    if (!problem.empty()) {
        return line.UsageError(problem);
    }
    if (args.simulate && line.Given("--port")) {
        return line.UsageError("--simulate makes its own port and takes no --port");
    }
    unsigned watchCount = 0;  // 0: no end
    if (!args.watchCount.empty()) {
        const gpio_tools::ParsedUnsigned count = gpio_tools::ParseUnsigned(args.watchCount, 1, 1000000000);
        watchCount = static_cast<unsigned>(count.value);
        const std::string countProblem =
            session != Session::kWatch ? std::string("--count goes with watch only")
                                       : gpio_tools::NumberProblem("--count", args.watchCount, count, "1 to 1000000000");
        if (!countProblem.empty()) {
            return line.UsageError(countProblem);
        }
    }
    if (args.trace && !args.simulate) {
        return line.UsageError("--trace needs --simulate: it traces the simulated controller's wire");
    }
    if ((session == Session::kScan || session == Session::kListPorts) && line.Given("--port")) {
        return line.UsageError(op.command + " searches the system's ports and takes no --port; "
                                            "'gpioctl --port NAME version' asks one port");
    }
    if (session == Session::kListPorts) {
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

    if (session == Session::kScan || args.port.empty()) {
        const int status = Scan(op.command, args.json, args.simulate ? args.port : std::string(), args.port);
        if (status >= 0) {
            return status;
        }
    }

    HANDLE handle = nullptr;
    const int opened = GPIO_OpenInterface(args.port.c_str(), &handle);
    if (opened != GPIO_RESULT_OK) {
        Report failure(args.json);
        failure.Explain("the port could not be opened");
        failure.Text("port", args.port);
        failure.Text("cause", gpio_tools::DescribeOpenFailure(args.port));
        failure.Print("open", opened);
        return opened;
    }
    int status = 0;
    switch (session) {
    case Session::kWatch:  // until q or a signal
        status = Watch(handle, {args.port, watched, args.json, watchCount});
        break;
    case Session::kDemo:
        status = Demo(handle, args.json);
        break;
    case Session::kOperation:
    case Session::kScan:
    case Session::kListPorts:
        status = RunAndReport(op, handle, args.json, false);
        break;
    }
    GPIO_CloseInterface(handle);
    return status;
}

}  // namespace

int main(int argc, char **argv) { return gpio_tools::FinishOutput("gpioctl", Main(argc, argv)); }
