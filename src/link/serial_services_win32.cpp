// The services table on Windows: the Win32 communications API on a
// synchronous port handle, a millisecond tick from the performance counter,
// and pauses on a high-resolution waitable timer.
//
// Map of this file:
//   - open and line settings
//   - purge, count, read, write, close; the device and the process
//   - clock, pause and the idle wait
//   - the port list: the registry's SERIALCOMM key
//   - the table
#include <cstdint>

#include "link/open_failure.h"
#include "link/serial_services.h"
// <windows.h>, and every Win32 function called as SYSTEM_CALL(Name)(...)
// through its entry in the file's table of system calls.
#include "link/system_calls_win32.h"

// Windows 10 version 1803 and later; older MinGW headers lack the name.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace gpiolink {
namespace {

// ---- open and line settings ---------------------------------------------

PortHandle Win32OpenPort(const char *devicePath)
{
    // Exclusive (share mode 0): a port that any program holds open, this
    // one included, is refused. Synchronous (no FILE_FLAG_OVERLAPPED).
    HANDLE port =
        SYSTEM_CALL(CreateFileA)(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return InvalidPort();
    }
    // Only a character device is a serial port: frames are never written
    // into a file or onto a disk, whatever a COM name leads to.
    if (SYSTEM_CALL(GetFileType)(port) != FILE_TYPE_CHAR) {
        SYSTEM_CALL(CloseHandle)(port);
        return InvalidPort();
    }
    return port;
}

// How long one write may wait for the driver to take its bytes: a frame of
// at most a few dozen bytes leaves at 38400 baud in a few milliseconds, so
// a write still waiting after a second has met a line whose far end takes
// nothing (flow control held by a device, a port whose other side stopped
// reading). Without a bound the synchronous WriteFile would block the call,
// and a scan, for ever. The read time-outs stay as they were: the receiver
// reads only bytes the driver has already counted.
constexpr DWORD kWriteWaitMs = 1000;

void BoundWrites(PortHandle port)
{
    COMMTIMEOUTS timeouts{};
    if (SYSTEM_CALL(GetCommTimeouts)(port, &timeouts) == 0) {
        timeouts = COMMTIMEOUTS{};
    }
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteWaitMs;
    SYSTEM_CALL(SetCommTimeouts)(port, &timeouts);
}

void Win32ConfigureLine(PortHandle port, ModemLines lines)
{
    DCB settings{};
    settings.DCBlength = sizeof(settings);
    SYSTEM_CALL(GetCommState)(port, &settings);
    char text[] = "baud=38400 parity=N data=8 stop=1";
    SYSTEM_CALL(BuildCommDCBA)(text, &settings);
    // Windows documents that BuildCommDCBA turns XON/XOFF and hardware flow
    // control off, but Wine's keeps what GetCommState read. A port left with
    // XON/XOFF on swallows the bytes 0x11 and 0x13 of a reply, so both are
    // cleared here, and the stream is kept transparent.
    //
    // This holds for the discovery probe too, fOutxDsrFlow included, though
    // the probe leaves the modem lines alone. fOutxDsrFlow is no line state:
    // it drives no line and changes how none is read, it only holds writes
    // back while DSR is low. Left on by an earlier program, it would stall
    // the probe's synchronous write until the write time-out below, for
    // every port of the scan.
    // The lines are fDtrControl, fRtsControl and fDsrSensitivity: only the
    // open interface sets those.
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
    SYSTEM_CALL(SetCommState)(port, &settings);
    BoundWrites(port);
}

// ---- purge, count, read, write, close -----------------------------------

bool Win32PurgeReceiveQueue(PortHandle port) { return SYSTEM_CALL(PurgeComm)(port, PURGE_RXCLEAR) != 0; }

std::uint32_t Win32CountWaitingBytes(PortHandle port)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (SYSTEM_CALL(ClearCommError)(port, &errors, &status) == 0) {
        // A port that reports nothing has nothing waiting.
        return 0;
    }
    return status.cbInQue;
}

bool Win32ReadByte(PortHandle port, std::uint8_t *byte)
{
    DWORD read = 0;
    return SYSTEM_CALL(ReadFile)(port, byte, 1, &read, nullptr) != 0 && read == 1;
}

std::uint32_t Win32WriteBytes(PortHandle port, const std::uint8_t *bytes, std::uint32_t count)
{
    DWORD written = 0;
    if (SYSTEM_CALL(WriteFile)(port, bytes, count, &written, nullptr) == 0) {
        return 0;
    }
    return written;
}

void Win32ClosePort(PortHandle port)
{
    if (port != nullptr && port != InvalidPort()) {
        SYSTEM_CALL(CloseHandle)(port);
    }
}

// The port's name, folded to upper case as Windows compares device names,
// hashed (FNV-1a): the path's prefix (\\.\ or \\?\) is left out, so the
// interface and the discovery probe name one port alike.
std::uint64_t Win32IdentifyPort(PortHandle /*port*/, const char *devicePath)
{
    const char *name = devicePath;
    for (const char *c = devicePath; *c != '\0'; ++c) {
        if (*c == '\\') {
            name = c + 1;
        }
    }
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char *c = name; *c != '\0'; ++c) {
        const char folded = *c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 'a' + 'A') : *c;
        hash = (hash ^ static_cast<unsigned char>(folded)) * 1099511628211ULL;
    }
    return hash != 0 ? hash : 1;
}

std::uint32_t Win32CurrentProcess() { return SYSTEM_CALL(GetCurrentProcessId)(); }

// ---- clock, pause and the idle wait -------------------------------------
// The system clock ticks every 15.6 ms by default: GetTickCount moves in
// steps of that size, and Sleep(20) may return after one step or after two.
// The tick here counts milliseconds of the performance counter instead, and
// a pause waits on a high-resolution timer until that counter has moved far
// enough. timeBeginPeriod is never called: it would change the timer of the
// whole system.

// `value` counted at `from` per second, converted to a count at `to` per
// second, rounded down or up. Split at whole seconds so that no product
// overflows: with a counter at 3 GHz, value * 1000 would pass 2^63 after
// 36 days.
std::uint64_t ConvertRate(std::uint64_t value, std::uint64_t from, std::uint64_t to, bool roundUp)
{
    const std::uint64_t rest = value % from * to + (roundUp ? from - 1 : 0);
    return value / from * to + rest / from;
}

struct CounterReading {
    std::uint64_t count;
    std::uint64_t frequency;  // counts per second, fixed at boot
};

// Both calls succeed on every Windows since XP, with a frequency above 0.
CounterReading ReadCounter()
{
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    SYSTEM_CALL(QueryPerformanceFrequency)(&frequency);
    SYSTEM_CALL(QueryPerformanceCounter)(&count);
    return {static_cast<std::uint64_t>(count.QuadPart), static_cast<std::uint64_t>(frequency.QuadPart)};
}

// Milliseconds of the performance counter, cut to 32 bits: the tick wraps
// every 49.7 days as GetTickCount does, and unsigned differences of two
// ticks still measure the time between them.
std::uint32_t Win32TickMilliseconds()
{
    const CounterReading now = ReadCounter();
    return static_cast<std::uint32_t>(ConvertRate(now.count, now.frequency, 1000, false));
}

// Waits on `timer` for `counts` of the counter, rounded up to the timer's
// 100 ns unit. False when the timer cannot be set or waited on.
bool WaitOnTimer(HANDLE timer, std::uint64_t counts, std::uint64_t frequency)
{
    LARGE_INTEGER due{};
    // Negative: relative to now.
    due.QuadPart = -static_cast<LONGLONG>(ConvertRate(counts, frequency, 10000000, true));
    return SYSTEM_CALL(SetWaitableTimer)(timer, &due, 0, nullptr, nullptr, FALSE) != 0 &&
           SYSTEM_CALL(WaitForSingleObject)(timer, INFINITE) == WAIT_OBJECT_0;
}

// Suspends the caller for at least `milliseconds` by the performance
// counter. Systems before Windows 10 version 1803 refuse the high-resolution
// timer; Sleep then waits instead. Neither is trusted to end late enough
// (Sleep may end one clock step early): the pause waits again for what is
// left until the counter shows the whole time.
void Win32SleepMilliseconds(std::uint32_t milliseconds)
{
    const CounterReading start = ReadCounter();
    const std::uint64_t span = ConvertRate(milliseconds, 1000, start.frequency, true);
    HANDLE timer = SYSTEM_CALL(CreateWaitableTimerExW)(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                                      TIMER_MODIFY_STATE | SYNCHRONIZE);
    for (;;) {
        const std::uint64_t elapsed = ReadCounter().count - start.count;
        if (elapsed >= span) {
            break;
        }
        const std::uint64_t left = span - elapsed;
        if (timer != nullptr) {
            if (WaitOnTimer(timer, left, start.frequency)) {
                continue;
            }
            SYSTEM_CALL(CloseHandle)(timer);
            timer = nullptr;
        }
        // INFINITE (0xFFFFFFFF) would never return.
        const std::uint64_t leftMs = ConvertRate(left, start.frequency, 1000, true);
        SYSTEM_CALL(Sleep)(static_cast<DWORD>(leftMs < INFINITE ? leftMs : INFINITE - 1));
    }
    if (timer != nullptr) {
        SYSTEM_CALL(CloseHandle)(timer);
    }
}

// A synchronous port offers no wait for input short of overlapped I/O, so
// the receiver's idle step is a whole pause.
void Win32WaitForInput(PortHandle /*port*/, std::uint32_t maxMilliseconds)
{
    Win32SleepMilliseconds(maxMilliseconds);
}

// ---- the port list: the registry's SERIALCOMM key ------------------------
// Each value of the key names one serial port; its data is the port name
// (COM3). The value's type is not examined.

bool Win32OpenPortList(PortListHandle *list)
{
    HKEY key = nullptr;
    if (SYSTEM_CALL(RegOpenKeyExA)(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    *list = key;
    return true;
}

bool Win32CountPortListEntries(PortListHandle list, std::uint32_t *count)
{
    DWORD values = 0;
    if (SYSTEM_CALL(RegQueryInfoKeyA)(static_cast<HKEY>(list), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
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
    if (SYSTEM_CALL(RegEnumValueA)(static_cast<HKEY>(list), index, valueName, &valueNameLength, nullptr, &type,
                                   reinterpret_cast<BYTE *>(name), &dataLength) != ERROR_SUCCESS) {
        return false;
    }
    // Registry data need not carry its terminator.
    name[dataLength < kPortListEntrySize ? dataLength : kPortListEntrySize - 1] = '\0';
    return true;
}

void Win32ClosePortList(PortListHandle list) { SYSTEM_CALL(RegCloseKey)(static_cast<HKEY>(list)); }

// ---- the table ----------------------------------------------------------

// Filled by name, so that no entry can land in another's place.
constexpr SerialServices MakeWin32Services()
{
    SerialServices services{};
    services.devicePathPrefix = "\\\\.\\";
    services.probePathPrefix = "\\\\?\\";
    services.portNameForbidden = "\\/:";
    services.devicePathSize = 20;          // \\.\ and up to 15 characters
    services.rootedNamesArePaths = false;  // a rooted name is refused
    services.discoveredNameSize = 8;       // discovery: names of up to 7 characters
    services.openPort = Win32OpenPort;
    services.configureLine = Win32ConfigureLine;
    services.purgeReceiveQueue = Win32PurgeReceiveQueue;
    services.countWaitingBytes = Win32CountWaitingBytes;
    services.readByte = Win32ReadByte;
    services.writeBytes = Win32WriteBytes;
    services.closePort = Win32ClosePort;
    services.describeOpenFailure = DescribeOpenFailure;
    services.identifyPort = Win32IdentifyPort;
    services.currentProcess = Win32CurrentProcess;
    services.tickMilliseconds = Win32TickMilliseconds;
    services.sleepMilliseconds = Win32SleepMilliseconds;
    services.waitForInput = Win32WaitForInput;
    services.openPortList = Win32OpenPortList;
    services.countPortListEntries = Win32CountPortListEntries;
    services.readPortListEntry = Win32ReadPortListEntry;
    services.closePortList = Win32ClosePortList;
    return services;
}

constexpr SerialServices kWin32Services = MakeWin32Services();

}  // namespace

const SerialServices &DefaultServices() { return kWin32Services; }

}  // namespace gpiolink
