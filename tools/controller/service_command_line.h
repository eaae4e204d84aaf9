// What the programs that serve one controller (gpio-mqtt, gpio-modbus)
// share on their command line and in their signals, so that they read
// alike: --config, --port, --check-config and --json; the exit statuses;
// SIGINT and SIGTERM to stop, SIGHUP to read the configuration again.
#ifndef GPIO_CONTROLLER_SERVICE_COMMAND_LINE_H
#define GPIO_CONTROLLER_SERVICE_COMMAND_LINE_H

#include <signal.h>

#include <atomic>
#include <functional>
#include <string>

#include "command_line.h"
#include "event_log.h"

namespace gpio_controller {

// Exit statuses besides 0 and a usage error (64).
constexpr int kCannotStart = 1;
constexpr int kBadConfig = 78;  // EX_CONFIG

struct ServiceArguments {
    std::string configFile;
    std::string port;
    bool checkConfig = false;
    bool json = false;
};

// Declares --config (its default from `args`), --port (`portNote` ends its
// help), --check-config (which prints what the configuration `does`:
// "bridges", "serves") and --json.
void DeclareServiceOptions(gpio_tools::CommandLine &line, ServiceArguments &args, const std::string &portNote,
                           const std::string &does);

// The "Exit status" section; `otherCause` is the program's own reason,
// besides a held port, for exit status 1.
std::string ServiceExitStatus(const std::string &otherCause);

// SIGINT, SIGTERM and SIGHUP blocked in the calling thread, before any
// other starts, so that every thread inherits the mask and only Wait()
// takes them; SIGPIPE ignored (a client or broker gone is an error from
// send(), not a signal).
class ServiceSignals {
public:
    ServiceSignals();

    // Calls `reload` on each SIGHUP; returns at SIGINT or SIGTERM, logged,
    // or at Stop().
    void Wait(Log &log, const std::function<void()> &reload) const;

    // Ends Wait() from another thread, with no log line: for a program
    // whose own loop ended.
    void Stop() const;

private:
    sigset_t signals_{};
    mutable std::atomic<bool> stopped_{false};
};

}  // namespace gpio_controller

#endif  // GPIO_CONTROLLER_SERVICE_COMMAND_LINE_H
