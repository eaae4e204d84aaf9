#include "terminal_restore.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace gpio_tools {
namespace {

// One guard's terminal. The handler reads only the slots marked armed, and
// a slot is filled before it is marked.
struct Slot {
    std::atomic<bool> armed{false};
    TerminalState state;
};
Slot g_slots[4];

// The guards alive; the handler is in place while there is one. Changed on
// the thread that makes and ends guards.
int g_guards = 0;

// The signals whose handler was replaced, and what they had before.
bool g_replaced[NSIG];
struct sigaction g_previous[NSIG];

// The signals whose default action ends the process, but SIGKILL, which no
// handler can take; the real-time signals, which end it too, come after.
constexpr int kFatalSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
                                 SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,   SIGXCPU, SIGXFSZ,
                                 SIGVTALRM, SIGPROF, SIGIO, SIGSYS,  SIGSTKFLT, SIGPWR};

template <typename Each>
void ForEachFatalSignal(Each each)
{
    for (const int signal : kFatalSignals) {
        each(signal);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        each(signal);
    }
}

// Restores every armed terminal, then ends the process by the signal
// itself: its default action, raised again, is delivered as soon as this
// handler returns (the signal is blocked until then). A fault (SIGSEGV)
// that recurs on the return meets the default action too.
void RestoreAndEnd(int signal)
{
    for (Slot &slot : g_slots) {
        if (!slot.armed.load()) {
            continue;
        }
        const TerminalState &state = slot.state;
        if (state.text != nullptr) {
            [[maybe_unused]] const ssize_t written = write(state.textFd, state.text, std::strlen(state.text));
        }
        tcsetattr(state.fd, TCSANOW, &state.settings);
        if (state.releaseExclusive) {
            ioctl(state.fd, TIOCNXCL);
        }
    }
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(signal, &byDefault, nullptr);
    raise(signal);
}

void InstallHandler()
{
    struct sigaction action {};
    action.sa_handler = RestoreAndEnd;
    action.sa_flags = SA_RESTART;
    // One restore at a time: no second signal interrupts the first.
    sigemptyset(&action.sa_mask);
    ForEachFatalSignal([&action](int signal) { sigaddset(&action.sa_mask, signal); });
    ForEachFatalSignal([&action](int signal) {
        struct sigaction current {};
        g_replaced[signal] = sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
                             current.sa_handler == SIG_DFL && sigaction(signal, &action, &g_previous[signal]) == 0;
    });
}

void RemoveHandler()
{
    ForEachFatalSignal([](int signal) {
        struct sigaction current {};
        // Left alone if the program has put a handler of its own since.
        if (g_replaced[signal] && sigaction(signal, nullptr, &current) == 0 &&
            (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == RestoreAndEnd) {
            sigaction(signal, &g_previous[signal], nullptr);
        }
        g_replaced[signal] = false;
    });
}

}  // namespace

RestoreOnFatalSignal::RestoreOnFatalSignal(const TerminalState &state)
{
    for (int i = 0; i < static_cast<int>(sizeof(g_slots) / sizeof(g_slots[0])); ++i) {
        if (!g_slots[i].armed.load()) {
            g_slots[i].state = state;
            g_slots[i].armed.store(true);
            slot_ = i;
            break;
        }
    }
    if (g_guards++ == 0) {
        InstallHandler();
    }
}

RestoreOnFatalSignal::~RestoreOnFatalSignal()
{
    if (slot_ >= 0) {
        g_slots[slot_].armed.store(false);
    }
    if (--g_guards == 0) {
        RemoveHandler();
    }
}

}  // namespace gpio_tools
