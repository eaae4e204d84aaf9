// Standard input and the stop signals on POSIX: SIGINT, SIGTERM and SIGHUP
// are blocked in every thread and taken through a signalfd beside
// standard input.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "stdin_commands.h"

namespace gpio_sim {
namespace {

// How often a gpio-sim in the background checks whether it has the
// terminal again.
constexpr int kRecheckMs = 500;

sigset_t StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

void HoldStopRequests()
{
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void ServeStdinUntilStopped(ControllerModel &model, std::FILE *log)
{
    const sigset_t stopSignals = StopSignals();
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        // No descriptor for the signals: wait for them without reading.
        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {
        }
        return;
    }
    // A read of the terminal from the background then fails with EIO
    // rather than stopping the whole program.
    ::signal(SIGTTIN, SIG_IGN);
    // A terminal is read only by a gpio-sim that is the shell's foreground
    // job: never from the background, and never by a gpio-sim that a
    // program started in its own process group, whose keys it would take.
    const bool terminal = isatty(STDIN_FILENO) != 0;
    const bool ownJob = getpgrp() == getpid();
    bool open = true;
    StdinLines lines(model, log);
    for (;;) {
        const bool readable = open && (!terminal || (ownJob && tcgetpgrp(STDIN_FILENO) == getpgrp()));
        pollfd entries[2] = {{stopFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(entries, readable ? 2 : 1, open ? kRecheckMs : -1) < 0 && errno != EINTR) {
            break;
        }
        if (entries[0].revents != 0) {
            break;
        }
        if (!readable || entries[1].revents == 0) {
            continue;
        }
        char buffer[512];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EIO)) {
            continue;
        }
        if (n <= 0) {
            open = false;  // end of input: keep serving
            continue;
        }
        lines.Feed(buffer, static_cast<std::size_t>(n));
    }
    close(stopFd);
}

}  // namespace gpio_sim
