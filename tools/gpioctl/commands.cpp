#include "commands.h"

#include <algorithm>

#include "bench.h"
#include "number.h"
#include "open_failure.h"

namespace gpioctl {
namespace {

const char *const kByteRange = "0 to 255 (or 0x00 to 0xFF)";

int Version(const Operation & /*op*/, HANDLE handle, Report &report, bool & /*stopped*/)
{
    char text[256] = "";
    const int result = GPIO_GetVersion(handle, text, sizeof(text));
    if (result == GPIO_RESULT_OK) {
        report.Text("version", text);
    }
    return result;
}

int Input(const Operation &op, HANDLE handle, Report &report, bool & /*stopped*/)
{
    report.Number("port", op.port);
    unsigned char value = 0;
    const int result = GPIO_Input(handle, op.port, &value);
    if (result == GPIO_RESULT_OK) {
        report.Byte("value", value);
    }
    return result;
}

int Output(const Operation &op, HANDLE handle, Report &report, bool & /*stopped*/)
{
    report.Number("port", op.port);
    report.Byte("value", op.value);
    return GPIO_Output(handle, op.port, op.value);
}

// The port and bit fields of a bit operation.
void BitFields(const Operation &op, Report &report)
{
    report.Number("port", op.port);
    report.Number("bit", op.bit);
}

int BitTest(const Operation &op, HANDLE handle, Report &report, bool & /*stopped*/)
{
    BitFields(op, report);
    const int result = GPIO_BitTest(handle, op.port, op.bit);
    if (result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW) {
        report.Text("level", result == GPIO_RESULT_BIT_HIGH ? "high" : "low");
    }
    return result;
}

int BitSet(const Operation &op, HANDLE handle, Report &report, bool & /*stopped*/)
{
    BitFields(op, report);
    return GPIO_BitSet(handle, op.port, op.bit);
}

int BitReset(const Operation &op, HANDLE handle, Report &report, bool & /*stopped*/)
{
    BitFields(op, report);
    return GPIO_BitReset(handle, op.port, op.bit);
}

int RunBench(const Operation &op, HANDLE handle, Report &report, bool &stopped)
{
    return Bench(handle, op.count, report, stopped);
}

// A number from `min` to `max` for `what` into `value`: "" or the problem.
std::string ReadNumber(const std::string &what, const std::string &text, unsigned min, unsigned max,
                       const std::string &range, unsigned &value)
{
    const gpio_tools::ParsedUnsigned parsed = gpio_tools::ParseUnsigned(text, min, max);
    value = static_cast<unsigned>(parsed.value);
    return gpio_tools::NumberProblem(what, text, parsed, range);
}

}  // namespace

const std::vector<CommandEntry> &Commands()
{
    static const std::vector<CommandEntry> commands = {
        {"scan", "", "find the port on which the controller answers", Session::kScan, Operands::kNone, nullptr},
        {"ports", "", "list the ports scan would try, in its order", Session::kListPorts, Operands::kNone, nullptr},
        {"version", "", "read the controller's version text", Session::kOperation, Operands::kNone, Version},
        {"input", "PORT", "read a port (0-255)", Session::kOperation, Operands::kPort, Input},
        {"output", "PORT VALUE", "write VALUE (0-255, or 0x00-0xFF) to a port", Session::kOperation,
         Operands::kPortValue, Output},
        {"bit-test", "PORT BIT", "test one bit: high or low", Session::kOperation, Operands::kPortBit, BitTest},
        {"bit-set", "PORT BIT", "set one bit", Session::kOperation, Operands::kPortBit, BitSet},
        {"bit-reset", "PORT BIT", "reset (clear) one bit", Session::kOperation, Operands::kPortBit, BitReset},
        {"demo", "", "run a short session: version, output, input, bit set,\nbit test, bit reset", Session::kDemo,
         Operands::kNone, nullptr},
        {"bench", "[N]", "time N input exchanges on port 0 (default 1000); Ctrl-C\nstops it with the figures so far",
         Session::kOperation, Operands::kCount, RunBench},
        {"watch", "PORT...",
         "show ports live, a row of 8 bits each; on a terminal, a\n"
         "port number then a bit number toggles that output bit, q\n"
         "quits",
         Session::kWatch, Operands::kPorts, nullptr},
    };
    return commands;
}

const CommandEntry &CommandNamed(const std::string &name)
{
    const std::vector<CommandEntry> &commands = Commands();
    const auto entry = std::find_if(commands.begin(), commands.end(),
                                    [&name](const CommandEntry &command) { return name == command.name; });
    // The command line knows only these names: the front is never taken.
    return entry != commands.end() ? *entry : commands.front();
}

std::string ReadOperands(const std::vector<std::string> &operands, Operation &op, std::vector<std::uint8_t> &watched)
{
    const Operands reads = CommandNamed(op.command).reads;
    if (reads == Operands::kCount) {
        return operands.empty() ? std::string()
                                : ReadNumber("N", operands[0], 1, 10000000, "1 to 10000000", op.count);
    }
    unsigned value = 0;
    if (reads == Operands::kPorts) {
        for (const std::string &operand : operands) {
            std::string problem = ReadNumber("PORT", operand, 0, 255, kByteRange, value);
            if (!problem.empty()) {
                return problem;
            }
            watched.push_back(static_cast<std::uint8_t>(value));
        }
        return {};
    }
    const char *const names[] = {"PORT", reads == Operands::kPortValue ? "VALUE" : "BIT"};
    unsigned char *const fields[] = {&op.port, reads == Operands::kPortValue ? &op.value : &op.bit};
    for (std::size_t i = 0; i < operands.size() && i < 2; ++i) {
        std::string problem = ReadNumber(names[i], operands[i], 0, 255, kByteRange, value);
        if (!problem.empty()) {
            return problem;
        }
        *fields[i] = static_cast<unsigned char>(value);
    }
    return {};
}

int RunAndReport(const Operation &op, HANDLE handle, bool json, bool named)
{
    Report report(json, named);
    bool stopped = false;
    const int result = CommandNamed(op.command).run(op, handle, report, stopped);
    if (result == GPIO_RESULT_BAD_HANDLE) {
        report.Explain(gpio_tools::kPortStoppedResponding);  // the handle was open and good
    } else if (result == GPIO_RESULT_IO_ERROR) {
        report.Explain("the reply was corrupted or had status 0xFD, or the port took no bytes");
    }
    report.Print(op.command, result);
    if (stopped) {
        return 130;  // as a shell reports a program stopped by SIGINT
    }
    // A bit test succeeds with either level: the level is its answer.
    const bool level = op.command == "bit-test" && (result == GPIO_RESULT_BIT_HIGH || result == GPIO_RESULT_BIT_LOW);
    return result == GPIO_RESULT_OK || level ? 0 : result;
}

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

}  // namespace gpioctl
