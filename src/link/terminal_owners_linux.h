// Terminals that belong to someone: a session's controlling terminal, and
// the system's consoles. Frames written to such a terminal would land on a
// user's screen or in the kernel's console, and the line settings would
// leave it raw, so the library never takes one for a controller's port.
#ifndef GPIOLINK_LINK_TERMINAL_OWNERS_LINUX_H
#define GPIOLINK_LINK_TERMINAL_OWNERS_LINUX_H

#include <sys/types.h>

#include <cstddef>

namespace gpiolink {

// The console devices: /dev/console, /dev/tty (the caller's own terminal)
// and the virtual consoles /dev/tty0 to /dev/tty63.
bool IsConsoleDevice(dev_t device);

// The kernel's consoles, as /proc/consoles lists them: where the kernel
// writes its messages (a VM's ttyS0, a board's ttyAMA0, the virtual
// consoles). Its lines read "ttyS0                -W- (EC p a)    4:64":
// the console's name, its flags and its tty's device number.
constexpr std::size_t kKernelConsolesSize = 4096;

// Reads /proc/consoles into `text` of kKernelConsolesSize bytes; no list
// (an old kernel, no /proc) leaves it empty.
void ReadKernelConsoles(char *text);

// True when a line of `consoles` (as ReadKernelConsoles read them) starts
// with `name`.
bool ListsConsoleNamed(const char *consoles, const char *name);

// True when the kernel writes its messages on the tty `device`; with a
// `name` of `nameSize` bytes, that console's name (ttyS0) goes there, cut
// to fit.
bool IsKernelConsoleDevice(dev_t device, char *name = nullptr, std::size_t nameSize = 0);

// A process that has a terminal as its controlling terminal.
struct TerminalHolder {
    unsigned long long process = 0;
    // Its command as /proc/PID/stat gives it (the kernel keeps 15 bytes),
    // any bytes, cut to fit.
    char command[32] = "";
};

// Finds a process that /proc shows with `device` as its controlling
// terminal: a shell's terminal, a getty's serial line. With `holder`, the
// session's leader when /proc shows it, else the first such process; with
// a null `holder` the first found will do. Only what /proc shows counts:
// where it hides other users' processes, their terminals are not found
// (nor, as a rule, can they be opened).
bool FindTerminalHolder(dev_t device, TerminalHolder *holder);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_TERMINAL_OWNERS_LINUX_H
