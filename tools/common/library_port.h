// A controller's port opened by the library's own services (its internal
// archive), so that a tool refuses what an application would be refused
// and holds the port as the library holds it: exclusively, and only a
// serial line (on Linux no console, no pty master, no terminal of a
// session; on Windows only a character device, as \\.\NAME).
#ifndef GPIO_TOOLS_LIBRARY_PORT_H
#define GPIO_TOOLS_LIBRARY_PORT_H

#include <string>

#include "link/serial_services.h"

namespace gpio_tools {

// The path the library opens for `name`: on POSIX "ttyUSB0" or "pts/5"
// below /dev/, a name with a slash in front as it stands; on Windows
// \\.\NAME.
std::string LibraryPortPath(const std::string &name);

// Opens `name` as the library's GPIO_OpenInterface would. InvalidPort()
// with `error` saying why, in gpioctl's words, when it is refused. The
// line settings are the caller's to make.
gpiolink::PortHandle OpenLibraryPort(const std::string &name, std::string &error);

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_LIBRARY_PORT_H
