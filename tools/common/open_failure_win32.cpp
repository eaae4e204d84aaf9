// The causes of a failed open on Windows. The library opens \\.\NAME for
// names of up to 15 characters without a path separator or drive colon,
// exclusively, and refuses anything that is not a character device.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "open_failure.h"

namespace gpio_tools {
namespace {

constexpr std::size_t kMaxNameLength = 15;


}  // namespace

// The ports the system lists: the values of the SERIALCOMM key.
std::vector<std::string> DiscoveryPorts()
{
    std::vector<std::string> list;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return list;
    }
    for (DWORD index = 0;; ++index) {
        char valueName[256];
        DWORD valueNameLength = sizeof(valueName);
        char data[256] = {};
        DWORD dataLength = sizeof(data) - 1;
        if (RegEnumValueA(key, index, valueName, &valueNameLength, nullptr, nullptr, reinterpret_cast<BYTE *>(data),
                          &dataLength) != ERROR_SUCCESS) {
            break;
        }
        list.emplace_back(data);
    }
    RegCloseKey(key);
    return list;
}

std::string DescribeOpenFailure(const std::string &port)
{
    if (port.empty()) {
        return "no port name given";
    }
    if (port.size() > kMaxNameLength) {
        return "name too long: a port name has at most 15 characters";
    }
    if (port.find_first_of("\\/:") != std::string::npos || port.find("..") != std::string::npos) {
        return "not a port name: give a name such as COM3";
    }
    const std::string path = "\\\\.\\" + port;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            std::string listed;
            for (const std::string &name : DiscoveryPorts()) {
                listed += " " + name;
            }
            return "no such device: " + port + " does not exist; " +
                   (listed.empty() ? "the system lists no serial port" : "the system lists:" + listed);
        }
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return "busy: " + port + " is held by another process";
        }
        return port + ": Windows error " + std::to_string(error);
    }
    const bool serial = GetFileType(handle) == FILE_TYPE_CHAR;
    CloseHandle(handle);
    return serial ? "the port opens now: it may have been busy for a moment; try again"
                  : "not a serial device: " + port + " is not a character device";
}

}  // namespace gpio_tools
