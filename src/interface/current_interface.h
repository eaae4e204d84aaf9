// The one open interface of the process.
#ifndef GPIOLINK_INTERFACE_CURRENT_INTERFACE_H
#define GPIOLINK_INTERFACE_CURRENT_INTERFACE_H

#include "gpiolink.h"

namespace gpiolink {

// The device path buffer: the platform prefix and the port name must fit
// in it, terminator included.
constexpr unsigned kDevicePathSize = 20;

// The handle check of every device operation: non-null and the handle of
// the open interface.
bool IsCurrentHandle(HANDLE handle);

// False for a port name that cannot name a serial device below the
// platform's device prefix: empty, rooted, climbing out with "..", or
// holding one of the `forbidden` characters. `name` is zero-terminated.
bool IsPlausiblePortName(const char *name, const char *forbidden);

}  // namespace gpiolink

#endif  // GPIOLINK_INTERFACE_CURRENT_INTERFACE_H
