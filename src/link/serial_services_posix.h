// What the POSIX services add for a program that uses a port beside the
// services table: gpio-tap opens the controller's port through the table,
// with the library's checks, lock and line settings, and then waits on it
// with poll() together with its own pseudo-terminal.
#ifndef GPIOLINK_LINK_SERIAL_SERVICES_POSIX_H
#define GPIOLINK_LINK_SERIAL_SERVICES_POSIX_H

#include "link/serial_services.h"

namespace gpiolink {

// The descriptor that a port opened by the POSIX services carries; -1 for
// InvalidPort(), null or any value no open produced. The port stays the
// services': it is closed with closePort, never with close().
int PortDescriptor(PortHandle port);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_SERIAL_SERVICES_POSIX_H
