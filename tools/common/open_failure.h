// Why a port could not be used, found by the tool itself, in the same words
// in gpioctl and gpio-tap: the library says only that an open failed
// (GPIO_RESULT_IO_ERROR, or an invalid port from its services), so after a
// failed open the tool looks at the port with its own checks (the name, the
// file, its permissions, a trial open) and says in one line what is wrong
// and what to do.
#ifndef GPIO_TOOLS_OPEN_FAILURE_H
#define GPIO_TOOLS_OPEN_FAILURE_H

#include <string>
#include <vector>

namespace gpio_tools {

// The cause of a failed GPIO_OpenInterface(port): no such device (with the
// ports that discovery would try), permission denied (the device's group to
// join when joining it gives access, else its owner, group and mode and what
// would give access), busy, not a serial device, or name too long.
std::string DescribeOpenFailure(const std::string &port);

// The ports that discovery (GPIO_ScanInterface) would try, in its order:
// on Linux the ttys with a device behind them, less the ttyS ports without
// a UART and the kernel's consoles (/proc/consoles), in natural order; on
// Windows the ports the system lists.
std::vector<std::string> DiscoveryPorts();

// What GPIO_RESULT_BAD_HANDLE means from a device operation on a handle
// that has worked: the port refused the purge of its input, which is what
// an unplugged adapter does.
constexpr const char *kPortStoppedResponding = "the port stopped responding (was the adapter unplugged?)";

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_OPEN_FAILURE_H
