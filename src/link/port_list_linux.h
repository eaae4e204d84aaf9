// The system's serial ports on Linux, read from /sys/class/tty: the
// port-list entries of the POSIX services table.
#ifndef GPIOLINK_LINK_PORT_LIST_LINUX_H
#define GPIOLINK_LINK_PORT_LIST_LINUX_H

#include <cstdint>

#include "link/port_name_order.h"
#include "link/serial_services.h"

namespace gpiolink {

bool LinuxOpenPortList(PortListHandle *list);
bool LinuxCountPortListEntries(PortListHandle list, std::uint32_t *count);
bool LinuxReadPortListEntry(PortListHandle list, std::uint32_t index, char *name);
void LinuxClosePortList(PortListHandle list);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_PORT_LIST_LINUX_H
