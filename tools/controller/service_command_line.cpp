#include "service_command_line.h"

#include <pthread.h>
#include <unistd.h>

namespace gpio_controller {

void DeclareServiceOptions(gpio_tools::CommandLine &line, ServiceArguments &args, const std::string &portNote,
                           const std::string &does)
{
    line.Option("--config", "FILE", "the configuration (default " + args.configFile + ")", &args.configFile);
    line.Option("--port", "NAME",
                "the controller's serial port, e.g. ttyUSB0 or /dev/ttyUSB0,\n"
                "instead of the configuration's serial_port" +
                    portNote,
                [&args](const std::string &name) {
                    args.port = name;
                    return name.empty() ? std::string("wants a port name") : std::string();
                });
    line.Flag("--check-config",
              "read and check the configuration, print what it " + does +
                  "\n"
                  "and exit: 0 when it is good, 78 when not",
              &args.checkConfig);
    line.Flag("--json", "log one JSON object per line on stderr:\n{\"level\":..,\"event\":..,\"message\":..}", &args.json);
}

std::string ServiceExitStatus(const std::string &otherCause)
{
    return "  0   stopped by SIGINT or SIGTERM (with --check-config: good)\n"
           "  1   could not start: the serial port is held by another process,\n"
           "      or " +
           otherCause +
           "\n"
           "  64  usage error\n"
           "  78  bad configuration, said as FILE:LINE: reason";
}

ServiceSignals::ServiceSignals()
{
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void ServiceSignals::Wait(Log &log, const std::function<void()> &reload) const
{
    for (;;) {
        int number = 0;
        if (sigwait(&signals_, &number) != 0) {
            continue;
        }
        if (number == SIGHUP) {
            reload();
            continue;
        }
        if (!stopped_) {
            log.Info("stopping", number == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
        }
        return;
    }
}

// A signal to the process, which only the thread in Wait() takes: every
// thread has it blocked.
void ServiceSignals::Stop() const
{
    stopped_ = true;
    kill(getpid(), SIGTERM);
}

}  // namespace gpio_controller
