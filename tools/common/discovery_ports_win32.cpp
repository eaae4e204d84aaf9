// The ports discovery would probe on Windows: those the system lists.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "discovery_ports.h"

namespace gpio_tools {

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

}  // namespace gpio_tools
