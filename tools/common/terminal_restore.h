// A terminal put back as it was found when a signal ends the process
// (POSIX only). gpioctl watch makes the user's terminal raw and switches
// to the alternate screen; gpio-tap makes the controller's port raw and
// holds it exclusively. Each ends cleanly on its own stop signals; any
// other signal whose default action ends the process (SIGQUIT, SIGPIPE,
// SIGALRM, SIGUSR1, SIGSEGV, ...) would leave the terminal changed behind
// it. SIGKILL cannot be caught: nothing is restored after it.
#ifndef GPIO_TOOLS_TERMINAL_RESTORE_H
#define GPIO_TOOLS_TERMINAL_RESTORE_H

#include <termios.h>

namespace gpio_tools {

// What to put back on one terminal.
struct TerminalState {
    int fd = -1;                    // the terminal
    termios settings{};             // set again with tcsetattr
    bool releaseExclusive = false;  // also ends the exclusive hold (TIOCNXCL)
    const char *text = nullptr;     // first written to the terminal, if given
                                    // (a string literal: it must outlive the guard)
    int textFd = -1;                // where `text` goes
};

// While it lives, a signal whose default action ends the process, and that
// the program neither handles nor ignores itself when the guard is made,
// first restores `state`, then ends the process as that signal does (the
// same exit status, the same core dump). A few guards may live at once.
class RestoreOnFatalSignal {
public:
    explicit RestoreOnFatalSignal(const TerminalState &state);
    ~RestoreOnFatalSignal();
    RestoreOnFatalSignal(const RestoreOnFatalSignal &) = delete;
    RestoreOnFatalSignal &operator=(const RestoreOnFatalSignal &) = delete;

private:
    int slot_ = -1;  // -1 when every slot was taken: nothing is restored
};

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_TERMINAL_RESTORE_H
