// Open and close: the current handle, the line settings, the handle check;
// and why an open fails.
#include "interface/current_interface.h"

#include <cstring>

#include "interface/line_after_failure.h"
#include "link/bounded_string.h"
#include "link/serial_services.h"

namespace gpiolink {
namespace {

// Null while no interface is open. Written only by open and close.
HANDLE g_currentHandle = nullptr;
std::uint64_t g_currentIdentity = 0;

// The process that opened the interface. A child made by fork() inherits
// the handle and the port's descriptor; were it to use them, parent and
// child would send requests on one line and take each other's replies, and
// its close would end the parent's hold on the port and put back the
// terminal settings under it. Checking the process at every call also
// covers children that bypass the fork handlers (glibc's _Fork, a raw
// clone).
std::uint32_t g_openedBy = 0;

}  // namespace

// cppcheck-suppress constParameter ; HANDLE is opaque, not data to protect
bool IsCurrentHandle(HANDLE handle)
{
    return handle != nullptr && handle == g_currentHandle && Services().currentProcess() == g_openedBy;
}

std::uint64_t CurrentPortIdentity() { return g_currentIdentity; }

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
    gpiolink::g_openedBy = os.currentProcess();
    gpiolink::g_currentIdentity = 0;
    if (port == gpiolink::InvalidPort()) {
        return GPIO_RESULT_IO_ERROR;
    }
    gpiolink::g_currentIdentity = os.identifyPort(port, devicePath);
    gpiolink::FollowOpenedPort(port, gpiolink::g_currentIdentity);
    os.configureLine(port, gpiolink::ModemLines::kDtrOnRtsOff);
    return GPIO_RESULT_OK;
}

extern "C" GPIOLINK_API int gpiolink_describe_open_failure(const char *port, char *text, int size)
{
    const bool writable = text != nullptr && size > 0;
    // No name is no port on any system: said here, before a platform's look.
    if (port == nullptr || port[0] == '\0') {
        gpiolink::BoundedText(writable ? text : nullptr, writable ? static_cast<std::size_t>(size) : 0)
            .Add("no port name given");
        return GPIOLINK_OPEN_FAILURE_NAME;
    }
    return Services().describeOpenFailure(port, writable ? text : nullptr,
                                          writable ? static_cast<std::size_t>(size) : 0);
}

extern "C" GPIOLINK_API int GPIO_CloseInterface(HANDLE handle)
{
    if (!gpiolink::IsCurrentHandle(handle)) {
        return GPIO_RESULT_BAD_HANDLE;
    }
    // After a failed exchange the port is handed on only once the line has
    // fallen silent: a reply still on its way would otherwise reach the
    // next open of the port, in this process or the next one.
    const gpiolink::SerialServices &os = Services();
    gpiolink::SettleAfterFailure(os, handle);
    os.closePort(handle);
    gpiolink::g_currentHandle = nullptr;
    return GPIO_RESULT_OK;
}
