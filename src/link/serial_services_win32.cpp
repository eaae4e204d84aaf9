// The services table on Windows: the Win32 communications API on a
// synchronous port handle, GetTickCount and Sleep.
//
// Map of this file:
//   - open and line settings
//   - purge, count, read, write, close
//   - clock, sleep and the idle wait
//   - the port list: the registry's SERIALCOMM key
//   - the table
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>

#include "link/serial_services.h"

namespace gpiolink {
namespace {

// ---- open and line settings ---------------------------------------------

PortHandle Win32OpenPort(const char *devicePath)
{
    // Exclusive (share mode 0) and synchronous (no FILE_FLAG_OVERLAPPED).
    HANDLE port = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return InvalidPort();
    }
    // Only a character device is a serial port: frames are never written
    // into a file or onto a disk.
    if (GetFileType(port) != FILE_TYPE_CHAR) {
        CloseHandle(port);
        return InvalidPort();
    }
    return port;
}

void Win32ConfigureLine(PortHandle port, ModemLines lines)
{
    DCB settings{};
    settings.DCBlength = sizeof(settings);
    GetCommState(port, &settings);
    char text[] = "baud=38400 parity=N data=8 stop=1";
    BuildCommDCBA(text, &settings);
    // Windows documents that BuildCommDCBA turns XON/XOFF and hardware flow
    // control off, but Wine's keeps what GetCommState read. A port left with
    // XON/XOFF on swallows the bytes 0x11 and 0x13 of a reply, so both are
    // cleared here, and the stream is kept transparent.
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fBinary = TRUE;
    settings.fNull = FALSE;
    settings.fErrorChar = FALSE;
    if (lines == ModemLines::kDtrOnRtsOff) {
        settings.fDtrControl = DTR_CONTROL_ENABLE;
        settings.fDsrSensitivity = FALSE;
        settings.fRtsControl = RTS_CONTROL_DISABLE;
    }
    SetCommState(port, &settings);
}

// ---- purge, count, read, write, close -----------------------------------

bool Win32PurgeReceiveQueue(PortHandle port) { return PurgeComm(port, PURGE_RXCLEAR) != 0; }

std::uint32_t Win32CountWaitingBytes(PortHandle port)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(port, &errors, &status) == 0) {
        // A port that reports nothing has nothing waiting.
        return 0;
    }
    return status.cbInQue;
}

bool Win32ReadByte(PortHandle port, std::uint8_t *byte)
{
    DWORD read = 0;
    return ReadFile(port, byte, 1, &read, nullptr) != 0 && read == 1;
}

std::uint32_t Win32WriteBytes(PortHandle port, const std::uint8_t *bytes, std::uint32_t count)
{
    DWORD written = 0;
    if (WriteFile(port, bytes, count, &written, nullptr) == 0) {
        return 0;
    }
    return written;
}

void Win32ClosePort(PortHandle port)
{
    if (port != nullptr && port != InvalidPort()) {
        CloseHandle(port);
    }
}

// ---- clock, sleep and the idle wait -------------------------------------

std::uint32_t Win32TickMilliseconds() { return GetTickCount(); }

void Win32SleepMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

// A synchronous port offers no wait for input short of overlapped I/O, so
// the receiver polls with a plain sleep.
void Win32WaitForInput(PortHandle /*port*/, std::uint32_t maxMilliseconds) { Sleep(maxMilliseconds); }

// ---- the port list: the registry's SERIALCOMM key ------------------------
// Each value of the key names one serial port; its data is the port name
// (COM3). The value's type is not examined.

bool Win32OpenPortList(PortListHandle *list)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    *list = key;
    return true;
}

bool Win32CountPortListEntries(PortListHandle list, std::uint32_t *count)
{
    DWORD values = 0;
    if (RegQueryInfoKeyA(static_cast<HKEY>(list), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    *count = values;
    return true;
}

bool Win32ReadPortListEntry(PortListHandle list, std::uint32_t index, char *name)
{
    char valueName[256];
    DWORD valueNameLength = sizeof(valueName);
    DWORD type = 0;
    DWORD dataLength = kPortListEntrySize;
    if (RegEnumValueA(static_cast<HKEY>(list), index, valueName, &valueNameLength, nullptr, &type,
                      reinterpret_cast<BYTE *>(name), &dataLength) != ERROR_SUCCESS) {
        return false;
    }
    // Registry data need not carry its terminator.
    name[dataLength < kPortListEntrySize ? dataLength : kPortListEntrySize - 1] = '\0';
    return true;
}

void Win32ClosePortList(PortListHandle list) { RegCloseKey(static_cast<HKEY>(list)); }

// ---- the table ----------------------------------------------------------

const SerialServices kWin32Services = {
    "\\\\.\\",
    "\\\\?\\",
    "\\/:",
    Win32OpenPort,
    Win32ConfigureLine,
    Win32PurgeReceiveQueue,
    Win32CountWaitingBytes,
    Win32ReadByte,
    Win32WriteBytes,
    Win32ClosePort,
    Win32TickMilliseconds,
    Win32SleepMilliseconds,
    Win32WaitForInput,
    Win32OpenPortList,
    Win32CountPortListEntries,
    Win32ReadPortListEntry,
    Win32ClosePortList,
};

}  // namespace

const SerialServices &DefaultServices() { return kWin32Services; }

}  // namespace gpiolink
