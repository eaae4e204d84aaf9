// Open and close: the current handle, the line settings, the handle check.
#include "interface/current_interface.h"

#include <cstring>

#include "interface/request_exchange.h"
#include "link/bounded_string.h"
#include "link/serial_services.h"

namespace gpiolink {
namespace {

// Null while no interface is open. Written only by open and close.
HANDLE g_currentHandle = nullptr;

}  // namespace

// cppcheck-suppress constParameter ; HANDLE is opaque, not data to protect
bool IsCurrentHandle(HANDLE handle) { return handle != nullptr && handle == g_currentHandle; }

void ForgetCurrentHandle() { g_currentHandle = nullptr; }

bool IsPlausiblePortName(const char *name, const char *forbidden)
{
    if (name[0] == '\0' || name[0] == '/' || name[0] == '\\') {
        return false;
    }
    for (const char *c = name; *c != '\0'; ++c) {
        if (std::strchr(forbidden, *c) != nullptr || (c[0] == '.' && c[1] == '.')) {
            return false;
        }
    }
    return true;
}

}  // namespace gpiolink

using gpiolink::Services;

extern "C" GPIOLINK_API int GPIO_OpenInterface(const char *portName, HANDLE *handle)
{
    // Null pointers are refused before anything is opened, and leave the
    // open interface as it was.
    if (portName == nullptr || handle == nullptr) {
        return GPIO_RESULT_IO_ERROR;
    }
    const gpiolink::SerialServices &os = Services();
    // A name that does not fit the device path is refused before anything
    // is opened: cutting it short could open a different port. So is a
    // name that is empty or reaches outside the platform's devices. Where
    // the platform allows it, a rooted name is a path and stands as given.
    char devicePath[gpiolink::kMaxDevicePathSize];
    const std::size_t room = os.devicePathSize < sizeof(devicePath) ? os.devicePathSize : sizeof(devicePath);
    const bool rooted = os.rootedNamesArePaths && portName[0] == '/';
    HANDLE port = gpiolink::InvalidPort();
    if ((rooted || gpiolink::IsPlausiblePortName(portName, os.portNameForbidden)) &&
        gpiolink::JoinBounded(devicePath, room, rooted ? "" : os.devicePathPrefix, portName)) {
        port = os.openPort(devicePath);
    }
    // The result becomes the current handle before it is tested, so a
    // failed open leaves INVALID_HANDLE_VALUE as the current handle.
    *handle = port;
    gpiolink::g_currentHandle = port;
    gpiolink::ForgetTimeout();
    if (port == gpiolink::InvalidPort()) {
        return GPIO_RESULT_IO_ERROR;
    }
    os.configureLine(port, gpiolink::ModemLines::kDtrOnRtsOff);
    return GPIO_RESULT_OK;
}

extern "C" GPIOLINK_API int GPIO_CloseInterface(HANDLE handle)
{
    if (!gpiolink::IsCurrentHandle(handle)) {
        return GPIO_RESULT_BAD_HANDLE;
    }
    Services().closePort(handle);
    gpiolink::g_currentHandle = nullptr;
    gpiolink::ForgetTimeout();
    return GPIO_RESULT_OK;
}
