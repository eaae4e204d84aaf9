// Why a port could not be used, in the library's words: gpioctl, gpio-tap
// and gpio-sim --serial print the line gpiolink_describe_open_failure gives.
#ifndef GPIO_TOOLS_OPEN_FAILURE_H
#define GPIO_TOOLS_OPEN_FAILURE_H

#include <string>

#include "gpiolink.h"

namespace gpio_tools {

// The library's one line on why GPIO_OpenInterface(port) fails.
inline std::string DescribeOpenFailure(const std::string &port)
{
    // Room for a path of 4095 characters and the list of ports after it.
    char text[8192];
    gpiolink_describe_open_failure(port.c_str(), text, sizeof(text));
    return text;
}

// What GPIO_RESULT_BAD_HANDLE means from a device operation on a handle
// that has worked: the port refused the purge of its input, which is what
// an unplugged adapter does.
constexpr const char *kPortStoppedResponding = "the port stopped responding (was the adapter unplugged?)";

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_OPEN_FAILURE_H
