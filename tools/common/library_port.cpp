#include "library_port.h"

#include "interface/current_interface.h"
#include "open_failure.h"

namespace gpio_tools {

std::string LibraryPortPath(const std::string &name)
{
    const gpiolink::SerialServices &os = gpiolink::Services();
    return os.rootedNamesArePaths && name.compare(0, 1, "/") == 0 ? name : os.devicePathPrefix + name;
}

gpiolink::PortHandle OpenLibraryPort(const std::string &name, std::string &error)
{
    const gpiolink::SerialServices &os = gpiolink::Services();
    gpiolink::PortHandle port = gpiolink::InvalidPort();
    // The names the library's open takes: a path, or a name below the
    // device prefix that does not climb out of it, of a length the
    // library's path buffer holds.
    const std::string path = LibraryPortPath(name);
    if (path.size() < os.devicePathSize && ((os.rootedNamesArePaths && name.compare(0, 1, "/") == 0) ||
                                            gpiolink::IsPlausiblePortName(name.c_str(), os.portNameForbidden))) {
        port = os.openPort(path.c_str());
    }
    if (port == gpiolink::InvalidPort()) {
        error = DescribeOpenFailure(name);
    }
    // The handle carries a descriptor or a Win32 handle, never a pointer
    // into `path`, which openPort only reads.
    // cppcheck-suppress returnDanglingLifetime
    return port;
}

}  // namespace gpio_tools
