// The one open interface of the process.
#ifndef GPIOLINK_INTERFACE_CURRENT_INTERFACE_H
#define GPIOLINK_INTERFACE_CURRENT_INTERFACE_H

#include <cstdint>

#include "gpiolink.h"

namespace gpiolink {

// The handle check of every device operation: non-null, the handle of the
// open interface, and the caller is the process that opened it.
bool IsCurrentHandle(HANDLE handle);

// The open interface's device, as SerialServices::identifyPort names it.
std::uint64_t CurrentPortIdentity();

// False for a port name that cannot name a serial device below the
// platform's device prefix: empty, rooted, climbing out with "..", or
// holding one of the `forbidden` characters. `name` is zero-terminated.
// (Where the platform takes rooted names as paths, those are not checked
// here: they are used as they stand.)
bool IsPlausiblePortName(const char *name, const char *forbidden);

}  // namespace gpiolink

#endif  // GPIOLINK_INTERFACE_CURRENT_INTERFACE_H
