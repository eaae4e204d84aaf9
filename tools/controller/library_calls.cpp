// The real library behind LibraryCalls.
#include <filesystem>
#include <string>

#include "controller.h"

namespace gpio_controller {
namespace {

// Why the open of `portName` failed, in the library's words (gpioctl's);
// true when another process holds the port.
bool WhyOpenFailed(const char *portName, std::string *text)
{
    char cause[8192];
    const int code = gpiolink_describe_open_failure(portName, cause, sizeof(cause));
    *text = cause;
    return code == GPIOLINK_OPEN_FAILURE_BUSY;
}

// The library takes "ttyUSB0" for /dev/ttyUSB0.
bool PortPresent(const char *portName)
{
    const std::string name(portName);
    std::error_code error;
    return std::filesystem::exists(name.find('/') == std::string::npos ? "/dev/" + name : name, error);
}

}  // namespace

LibraryCalls TheLibrary()
{
    return {GPIO_OpenInterface, GPIO_CloseInterface, GPIO_Input,   GPIO_Output,   GPIO_BitTest,
            GPIO_BitSet,        GPIO_BitReset,       GPIO_GetVersion, WhyOpenFailed, PortPresent};
}

}  // namespace gpio_controller
