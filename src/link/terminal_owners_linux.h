// Terminals that belong to someone: a session's controlling terminal, and
// the system's consoles. Frames written to such a terminal would land on a
// user's screen or in the kernel's console, and the line settings would
// leave it raw, so the library never takes one for a controller's port.
#ifndef GPIOLINK_LINK_TERMINAL_OWNERS_LINUX_H
#define GPIOLINK_LINK_TERMINAL_OWNERS_LINUX_H

#include <sys/types.h>

namespace gpiolink {

// The console devices: /dev/console, /dev/tty (the caller's own terminal)
// and the virtual consoles /dev/tty0 to /dev/tty63.
bool IsConsoleDevice(dev_t device);

// True when any process the system shows in /proc has `device` as its
// controlling terminal: a shell's terminal, a getty's serial line. Only
// what /proc shows counts: where it hides other users' processes, their
// terminals are not found (nor, as a rule, can they be opened).
bool IsAnySessionsTerminal(dev_t device);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_TERMINAL_OWNERS_LINUX_H
