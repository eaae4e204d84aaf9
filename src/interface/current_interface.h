// The one open interface of the process.
#ifndef GPIOLINK_INTERFACE_CURRENT_INTERFACE_H
#define GPIOLINK_INTERFACE_CURRENT_INTERFACE_H

#include "gpiolink.h"

namespace gpiolink {

// The handle check of every device operation: non-null and the handle of
// the open interface.
bool IsCurrentHandle(HANDLE handle);

// Drops the current handle without closing its port: the port belongs to
// another process (a forked child's parent). POSIX only.
void ForgetCurrentHandle();

// True when the POSIX fork guard is in place (fork_guard_posix.cpp).
bool ForkGuardRegistered();

// False for a port name that cannot name a serial device below the
// platform's device prefix: empty, rooted, climbing out with "..", or
// holding one of the `forbidden` characters. `name` is zero-terminated.
// (Where the platform takes rooted names as paths, those are not checked
// here: they are used as they stand.)
bool IsPlausiblePortName(const char *name, const char *forbidden);

}  // namespace gpiolink

#endif  // GPIOLINK_INTERFACE_CURRENT_INTERFACE_H
