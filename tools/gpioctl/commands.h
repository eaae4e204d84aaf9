// gpioctl's commands: one table gives each its name, operands and help for
// the command line, how its operands are read, and what runs it.
#ifndef GPIOCTL_COMMANDS_H
#define GPIOCTL_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "gpiolink.h"
#include "report.h"

namespace gpioctl {

// One operation of the library, as a command names it, with its operands.
struct Operation {
    std::string command;
    unsigned char port = 0;
    unsigned char value = 0;   // output
    unsigned char bit = 0;     // bit-test, bit-set, bit-reset
    unsigned count = 1000;     // bench
};

// How a command is carried out once the command line is read.
enum class Session {
    kListPorts,  // no port is opened
    kScan,       // scan, which opens each port itself
    kOperation,  // one operation on the opened port, one report
    kDemo,       // several operations, a report each
    kWatch,      // polls until q, a signal or --count
};

// How a command's operands are read.
enum class Operands {
    kNone,
    kPort,       // PORT
    kPortValue,  // PORT VALUE
    kPortBit,    // PORT BIT
    kCount,      // [N], bench's exchanges
    kPorts,      // PORT..., watch's ports
};

struct CommandEntry {
    const char *name;
    const char *operands;  // as --help shows them
    const char *help;
    Session session;
    Operands reads;
    // For Session::kOperation: runs it on the open interface, its fields
    // to `report`; `stopped` when Ctrl-C cut it short.
    int (*run)(const Operation &op, HANDLE handle, Report &report, bool &stopped);
};

// Every command, in the order --help lists them.
const std::vector<CommandEntry> &Commands();

// The entry of `name`, which the command line has checked to be one.
const CommandEntry &CommandNamed(const std::string &name);

// Reads the operands of `op.command` into `op` (for watch, the ports into
// `watched`): "" when they are all good, else the usage error.
std::string ReadOperands(const std::vector<std::string> &operands, Operation &op,
                         std::vector<std::uint8_t> &watched);

// Runs an operation and prints its report (a text line that starts with
// the operation when `named`). Returns the exit status: 0 on success, 130
// when Ctrl-C stopped it, else the result code.
int RunAndReport(const Operation &op, HANDLE handle, bool json, bool named);

// A short session: the version, then output, input, bit set, bit test and
// bit reset on port 1, a line each, each run as its own command would run
// it. Returns the first failure, else 0.
int Demo(HANDLE handle, bool json);

}  // namespace gpioctl

#endif  // GPIOCTL_COMMANDS_H
