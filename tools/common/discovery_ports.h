// The ports that discovery (GPIO_ScanInterface) would try, in its order,
// for gpioctl's ports command and for a scan that found nothing.
#ifndef GPIO_TOOLS_DISCOVERY_PORTS_H
#define GPIO_TOOLS_DISCOVERY_PORTS_H

#include <string>
#include <vector>

namespace gpio_tools {

// On Linux the ttys with a device behind them, less the ttyS ports without
// a UART and the kernel's consoles (/proc/consoles), in natural order; on
// Windows the ports the system lists.
std::vector<std::string> DiscoveryPorts();

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_DISCOVERY_PORTS_H
