// The serial port of the real controller, opened the way the library opens
// it: 38400 baud, 8N1, raw, DTR raised and RTS low, and locked against other
// programs that lock it too.
#ifndef GPIO_TAP_REAL_PORT_H
#define GPIO_TAP_REAL_PORT_H

#include <string>

namespace gpio_tap {

// "ttyUSB0" or "pts/5" name a device under /dev/; a name with a slash in
// front is a path already.
std::string PortPath(const std::string &name);

// The open descriptor, non-blocking; -1 with `error` set on failure.
int OpenRealPort(const std::string &path, std::string &error);

}  // namespace gpio_tap

#endif  // GPIO_TAP_REAL_PORT_H
