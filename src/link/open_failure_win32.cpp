// Why an open of a port fails on Windows, found as Win32OpenPort would meet
// it: the open interface opens \\.\NAME for names of up to 15 characters
// without a path separator or drive colon, exclusively, and refuses
// anything that is not a character device. Every Win32 call goes through
// SYSTEM_CALL, and the text is written into the caller's buffer.
#include "link/open_failure.h"

#include <cstring>

#include "gpiolink.h"
#include "link/bounded_string.h"
#include "link/listed_ports.h"
#include "link/serial_services.h"
#include "link/system_calls_win32.h"

namespace gpiolink {
namespace {

// The ports the system lists (the SERIALCOMM key), which discovery probes.
void AddSystemPorts(BoundedText &text)
{
    AddListedPorts(text, "the system lists: ", "the system lists no serial port", kPortListEntrySize);
}

}  // namespace

int DescribeOpenFailure(const char *portName, char *buffer, std::size_t size)
{
    BoundedText text(buffer, size);
    const SerialServices &os = Services();
    char path[kMaxDevicePathSize];
    if (!JoinBounded(path, os.devicePathSize, os.devicePathPrefix, portName)) {
        text.Add("name too long: a port name has at most ")
            .AddNumber(os.devicePathSize - 1 - std::strlen(os.devicePathPrefix))
            .Add(" characters");
        return GPIOLINK_OPEN_FAILURE_NAME;
    }
    if (std::strpbrk(portName, os.portNameForbidden) != nullptr || std::strstr(portName, "..") != nullptr) {
        text.Add("not a port name: give a name such as COM3");
        return GPIOLINK_OPEN_FAILURE_NAME;
    }
    HANDLE handle =
        SYSTEM_CALL(CreateFileA)(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == InvalidPort()) {
        const DWORD error = SYSTEM_CALL(GetLastError)();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            text.Add("no such device: ").Add(portName).Add(" does not exist; ");
            AddSystemPorts(text);
            return GPIOLINK_OPEN_FAILURE_NO_SUCH_DEVICE;
        }
        // Windows opens a port for one program at a time: another's hold
        // is refused as access denied or as a sharing violation.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            text.Add("busy: ").Add(portName).Add(" is held by another process");
            return GPIOLINK_OPEN_FAILURE_BUSY;
        }
        text.Add(portName).Add(": Windows error ").AddNumber(error);
        return GPIOLINK_OPEN_FAILURE_OTHER;
    }
    const bool serial = SYSTEM_CALL(GetFileType)(handle) == FILE_TYPE_CHAR;
    SYSTEM_CALL(CloseHandle)(handle);
    if (!serial) {
        text.Add("not a serial device: ").Add(portName).Add(" is not a character device");
        return GPIOLINK_OPEN_FAILURE_NOT_SERIAL;
    }
    text.Add("the port opens now: it may have been busy for a moment; try again");
    return GPIOLINK_OPEN_FAILURE_NONE;
}

}  // namespace gpiolink
