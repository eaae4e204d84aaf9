// The operating-system services the library uses, behind one table.
//
// Everything that touches a serial port, the clock or the system's list of
// serial ports goes through the table returned by Services(). The frame code, the receiver, the exchange and the operations call nothing else, and none of
// them includes an OS header. One file per platform fills the default table
// (serial_services_win32.cpp, serial_services_posix.cpp); tests install a
// table of their own to script byte arrivals, run a virtual clock and make
// any single call fail.
#ifndef GPIOLINK_LINK_SERIAL_SERVICES_H
#define GPIOLINK_LINK_SERIAL_SERVICES_H

#include <cstddef>
#include <cstdint>

namespace gpiolink {

// An open port: the Win32 HANDLE itself, or on POSIX a descriptor encoded so
// that it is never null and never InvalidPort().
using PortHandle = void *;

// The value of a port that did not open (the Win32 INVALID_HANDLE_VALUE).
inline PortHandle InvalidPort() { return reinterpret_cast<PortHandle>(~std::uintptr_t{0}); }

// An open list of serial ports (the registry key on Windows).
using PortListHandle = void *;

// Room the port-list services get for one entry's port name, terminator
// included.
constexpr std::uint32_t kPortListEntrySize = 256;

// The largest device path any platform forms, terminator included: the
// open interface builds its path in a fixed buffer of this size.
constexpr std::uint32_t kMaxDevicePathSize = 4096;

// The largest port name discovery reports, terminator included: the size
// of the caller's buffer.
constexpr std::uint32_t kMaxDiscoveredNameSize = 20;

// How the line settings treat the modem-control lines.
enum class ModemLines {
    kDtrOnRtsOff,  // the open interface: DTR raised, RTS held low
    kUntouched,    // the discovery probe: whatever the port already had
};

struct SerialServices {
    // Prefix that turns a port name into the path the open interface opens
    // (\\.\ on Windows, /dev/ on POSIX).
    const char *devicePathPrefix;
    // Prefix of the discovery probe's path (\\?\ on Windows, /dev/ on POSIX).
    const char *probePathPrefix;
    // Characters no port name may hold: on Windows a name with a path
    // separator or a drive colon would reach beyond the device namespace.
    const char *portNameForbidden;
    // Room for the device path of the open interface, terminator included,
    // at most kMaxDevicePathSize: 20 on Windows (\\.\ and 15 characters),
    // 4096 on POSIX (the system's own path limit).
    std::uint32_t devicePathSize;
    // True where a name that starts with '/' is a path, opened as it stands
    // without the prefix (POSIX: /dev/ttyUSB0, a link in any folder). False
    // where such a name is refused.
    bool rootedNamesArePaths;
    // Room for a port name that discovery reports, terminator included, at
    // most kMaxDiscoveredNameSize: 8 on Windows (COM9999), 20 on Linux.
    // Longer names are passed over whole.
    std::uint32_t discoveredNameSize;

    // Opens a serial device exclusively for reading and writing. Returns
    // InvalidPort() when it is absent, busy, or not a character device.
    PortHandle (*openPort)(const char *devicePath);
    // Applies 38400 baud, 8 data bits, no parity, 1 stop bit, a transparent
    // byte stream without flow control, and the given modem-line handling.
    // For the open interface (kDtrOnRtsOff) a platform may also ask the
    // driver to pass received bytes on at once (Linux: low latency).
    // Failures are not reported: a refused setting leaves the port usable.
    void (*configureLine)(PortHandle port, ModemLines lines);
    // Discards every byte waiting in the receive queue; false on failure.
    bool (*purgeReceiveQueue)(PortHandle port);
    // The number of received bytes waiting to be read.
    std::uint32_t (*countWaitingBytes)(PortHandle port);
    // Reads one byte that countWaitingBytes has counted, without blocking.
    // False when no byte was delivered (a failed read).
    bool (*readByte)(PortHandle port, std::uint8_t *byte);
    // Writes up to count bytes, blocking until the driver takes some, and
    // returns how many it took (0 on failure).
    std::uint32_t (*writeBytes)(PortHandle port, const std::uint8_t *bytes, std::uint32_t count);
    // Releases the port.
    void (*closePort)(PortHandle port);
    // Why the open interface's open of `portName` (a name or, where the
    // platform takes them, a path) fails: a GPIOLINK_OPEN_FAILURE_ code and
    // its line, written into `text` of `size` bytes and cut to fit (nothing
    // written when size is 0). Closes whatever it opens to look.
    int (*describeOpenFailure)(const char *portName, char *text, std::size_t size);
    // A number that names the device behind an open port, the same for
    // every open of it by any path: the device number on POSIX, the port's
    // name on Windows. 0 when it cannot be told.
    std::uint64_t (*identifyPort)(PortHandle port, const char *devicePath);
    // The calling process.
    std::uint32_t (*currentProcess)();
    // A 32-bit millisecond tick; elapsed time is the unsigned difference.
    std::uint32_t (*tickMilliseconds)();
    // Suspends the caller.
    void (*sleepMilliseconds)(std::uint32_t milliseconds);
    // The receiver's idle step: waits at most maxMilliseconds, and may return
    // as soon as a byte arrives on the port.
    void (*waitForInput)(PortHandle port, std::uint32_t maxMilliseconds);

    // The system's serial ports, in a stable order: the values of the
    // registry's SERIALCOMM key on Windows, /sys/class/tty on Linux.
    // Opens the list; false when it cannot be read.
    bool (*openPortList)(PortListHandle *list);
    // The number of entries; false when it cannot be read.
    bool (*countPortListEntries)(PortListHandle list, std::uint32_t *count);
    // Entry `index` as a zero-terminated port name, written into `name` of
    // kPortListEntrySize bytes; false when it cannot be read.
    bool (*readPortListEntry)(PortListHandle list, std::uint32_t index, char *name);
    // Releases the list.
    void (*closePortList)(PortListHandle list);
};

// The table in force.
const SerialServices &Services();

// The platform's own table.
const SerialServices &DefaultServices();

// Puts a replacement table in force (tests); a null pointer restores the
// default. The table is copied, so a test may change one entry of
// DefaultServices() and put the copy in force. (The system calls below
// this table are replaced one by one: ReplaceSystemCall.)
void ReplaceServices(const SerialServices *services);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_SERIAL_SERVICES_H
