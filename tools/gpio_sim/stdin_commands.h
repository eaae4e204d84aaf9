// Commands on gpio-sim's standard input while it serves, so that a test or
// a person can change the controller from outside as a wire or a switch
// would:
//   set PORT VALUE [MASK]   drive the pins of PORT (those in MASK, all
//                           eight by default) to VALUE: the next Input of
//                           the port reads VALUE there
//   release PORT            stop driving the port: it reads its latch again
// Numbers in decimal or 0x hex; blank lines and lines starting with # are
// skipped.
#ifndef GPIO_SIM_STDIN_COMMANDS_H
#define GPIO_SIM_STDIN_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "controller_model.h"

namespace gpio_sim {

struct StdinCommand {
    enum class Kind { kNothing, kSet, kRelease };
    Kind kind = Kind::kNothing;
    std::uint8_t port = 0;
    std::uint8_t value = 0;
    std::uint8_t mask = 0;
};

// Reads one line (without its newline); false with the reason in `error`.
bool ParseStdinCommand(const std::string &line, StdinCommand &command, std::string &error);

// Carries out a command on the model; returns what the port reads now, as
// a line for the user ("port 1 reads 0x0F (pins 0xFF driven)").
std::string ApplyStdinCommand(const StdinCommand &command, ControllerModel &model);

// Bytes of standard input cut into lines, each carried out on the model
// and reported on `log`, or what is wrong with it.
class StdinLines {
public:
    StdinLines(ControllerModel &model, std::FILE *log) : model_(model), log_(log) {}
    void Feed(const char *bytes, std::size_t count);

private:
    void Finish();

    ControllerModel &model_;
    std::FILE *log_;
    std::string line_;
    bool skipping_ = false;  // the rest of an overlong line
    unsigned lineNumber_ = 0;
};

// Holds back the requests to stop (SIGINT, SIGTERM and SIGHUP on POSIX;
// Ctrl+C and Ctrl+Break on Windows) for ServeStdinUntilStopped to take.
// Called before the serving thread starts, so that it inherits the hold.
void HoldStopRequests();

// Carries out the commands of standard input (StdinLines) until a stop
// request arrives. Standard input at its end is left alone. On POSIX a
// terminal is read only while gpio-sim is the shell's foreground job: a
// gpio-sim started with & is never stopped by it, and one started by
// another program leaves that program's keys alone.
void ServeStdinUntilStopped(ControllerModel &model, std::FILE *log);

}  // namespace gpio_sim

#endif  // GPIO_SIM_STDIN_COMMANDS_H
