// The services table on POSIX systems: termios serial ports, a monotonic
// millisecond tick and poll() for the receiver's idle wait. Every system
// call goes through SYSTEM_CALL (system_calls_posix.h), where tests watch
// and fail them.
//
// Map of this file:
//   - port handles: descriptors encoded as pointers
//   - open, exclusive lock and line settings (restored at close), low latency
//   - purge, count, read, write, close; the device and the process
//     (why an open fails: open_failure_posix.cpp)
//   - clock, sleep and the idle wait
//   - the table (the port list lives in port_list_linux.cpp)
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstdint>
#include <ctime>

#include "link/open_failure.h"
#include "link/port_list_linux.h"
#include "link/system_calls_posix.h"
#include "link/terminal_owners_linux.h"
#include "link/serial_services.h"
#include "link/serial_services_posix.h"

namespace gpiolink {
namespace {

// ---- port handles -------------------------------------------------------
// A descriptor d travels as the pointer value d + 1: descriptor 0 must not
// become a null handle, and no descriptor can become InvalidPort().

PortHandle HandleFromDescriptor(int descriptor)
{
    return reinterpret_cast<PortHandle>(static_cast<std::uintptr_t>(descriptor) + 1U);
}

// The descriptor of a handle, or -1 for null, InvalidPort() or any value
// that no open could have produced.
int DescriptorFromHandle(PortHandle port)
{
    const auto value = reinterpret_cast<std::uintptr_t>(port);
    if (value == 0 || value > static_cast<std::uintptr_t>(INT32_MAX)) {
        return -1;
    }
    return static_cast<int>(value - 1U);
}

// ---- open and line settings ---------------------------------------------

// The settings each port had before the library changed them, put back when
// it closes the port: a terminal is left as it was found. The open interface
// and a discovery probe are the most ports open at once; an interface opened
// again without a close keeps its earlier port open, so a few more slots
// are kept. A port that finds none free is left as the library set it.
struct SavedSettings {
    int descriptor = -1;
    termios settings{};
};
SavedSettings g_savedSettings[8];

SavedSettings *SavedSlot(int descriptor)
{
    SavedSettings *const end = std::end(g_savedSettings);
    SavedSettings *const slot = std::find_if(std::begin(g_savedSettings), end,
                                             [descriptor](const SavedSettings &saved) { return saved.descriptor == descriptor; });
    return slot != end ? slot : nullptr;
}

// A session's controlling terminal (the caller's or anyone's), a console
// (the kernel's consoles of /proc/consoles too) and the master side of a pseudo-terminal are terminals, but no serial line
// to a controller: frames written there would land on a user's screen, in
// the kernel's console or in another program, and the line settings would
// leave the terminal raw (terminal_owners_linux.h).
bool IsForeignTerminal(int descriptor)
{
    pid_t session = 0;
    if (SYSTEM_CALL(ioctl)(descriptor, TIOCGSID, &session) == 0 && session == SYSTEM_CALL(getsid)(0)) {
        return true;
    }
    unsigned int ptyNumber = 0;
    if (SYSTEM_CALL(ioctl)(descriptor, TIOCGPTN, &ptyNumber) == 0) {
        return true;
    }
    struct stat info {};
    if (SYSTEM_CALL(fstatat)(descriptor, "", &info, AT_EMPTY_PATH) != 0) {
        return false;
    }
    return IsConsoleDevice(info.st_rdev) || IsKernelConsoleDevice(info.st_rdev) ||
           FindTerminalHolder(info.st_rdev, nullptr);
}

PortHandle PosixOpenPort(const char *devicePath)
{
    // O_NONBLOCK: the open must not wait for a carrier, and no later call
    // may block without bound (writes wait with poll() instead).
    const int descriptor = SYSTEM_CALL(open)(devicePath, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        return InvalidPort();
    }
    // Only a terminal is a serial port: frames are never written to a file.
    // The lock makes a second open of the same port fail, in this process
    // too; TIOCEXCL also keeps out other programs that do not use flock.
    if (SYSTEM_CALL(isatty)(descriptor) != 1 || IsForeignTerminal(descriptor) ||
        SYSTEM_CALL(flock)(descriptor, LOCK_EX | LOCK_NB) != 0) {
        SYSTEM_CALL(close)(descriptor);
        return InvalidPort();
    }
    // A slot left by a descriptor that was closed behind the library's back
    // belongs to no port now.
    if (SavedSettings *stale = SavedSlot(descriptor)) {
        stale->descriptor = -1;
    }
    SYSTEM_CALL(ioctl)(descriptor, TIOCEXCL, nullptr);
    return HandleFromDescriptor(descriptor);
}

// Asks the driver to pass received bytes on at once. USB serial adapters
// commonly hold them for a latency timer of 16 ms, which would make every
// reply late. A port or driver that refuses (a pseudo-terminal, a driver
// without the setting) is used as it is.
void RequestLowLatency(int descriptor)
{
    serial_struct info{};
    if (SYSTEM_CALL(ioctl)(descriptor, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0) {
        return;
    }
    info.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
    SYSTEM_CALL(ioctl)(descriptor, TIOCSSERIAL, &info);
}

void PosixConfigureLine(PortHandle port, ModemLines lines)
{
    const int descriptor = DescriptorFromHandle(port);
    termios settings{};
    if (descriptor < 0 || SYSTEM_CALL(tcgetattr)(descriptor, &settings) != 0) {
        return;
    }
    SavedSettings *saved = SavedSlot(descriptor);
    if (saved == nullptr && (saved = SavedSlot(-1)) != nullptr) {
        saved->descriptor = descriptor;
        saved->settings = settings;
    }
    // Raw 8N1: every byte passes unchanged in both directions, with no flow
    // control, no echo and no line editing.
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    SYSTEM_CALL(tcsetattr)(descriptor, TCSANOW, &settings);
    if (lines == ModemLines::kDtrOnRtsOff) {
        // A pseudo-terminal has no modem lines and refuses these; that is
        // harmless.
        int dtr = TIOCM_DTR;
        int rts = TIOCM_RTS;
        SYSTEM_CALL(ioctl)(descriptor, TIOCMBIS, &dtr);
        SYSTEM_CALL(ioctl)(descriptor, TIOCMBIC, &rts);
        // Only the open interface: the setting outlives the close, and the
        // probe must leave ports as it found them.
        RequestLowLatency(descriptor);
    }
}

// ---- purge, count, read, write, close -----------------------------------

bool PosixPurgeReceiveQueue(PortHandle port)
{
    const int descriptor = DescriptorFromHandle(port);
    return descriptor >= 0 && SYSTEM_CALL(tcflush)(descriptor, TCIFLUSH) == 0;
}

std::uint32_t PosixCountWaitingBytes(PortHandle port)
{
    const int descriptor = DescriptorFromHandle(port);
    int waiting = 0;
    if (descriptor < 0 || SYSTEM_CALL(ioctl)(descriptor, FIONREAD, &waiting) != 0 || waiting < 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(waiting);
}

bool PosixReadByte(PortHandle port, std::uint8_t *byte)
{
    const int descriptor = DescriptorFromHandle(port);
    // An error or end of file (a hung-up line) delivers no byte.
    return descriptor >= 0 && SYSTEM_CALL(read)(descriptor, byte, 1) == 1;
}

// How long a write waits for the driver to take bytes before giving up.
constexpr int kWriteWaitMs = 1000;

std::uint32_t PosixWriteBytes(PortHandle port, const std::uint8_t *bytes, std::uint32_t count)
{
    const int descriptor = DescriptorFromHandle(port);
    if (descriptor < 0) {
        return 0;
    }
    for (;;) {
        const ssize_t written = SYSTEM_CALL(write)(descriptor, bytes, count);
        // cppcheck-suppress knownConditionTrueFalse ; a failed write gives -1
        if (written >= 0) {
            return static_cast<std::uint32_t>(written);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return 0;
        }
        // The output queue is full: wait, within bounds, until it drains.
        pollfd entry{descriptor, POLLOUT, 0};
        if (SYSTEM_CALL(poll)(&entry, 1, kWriteWaitMs) <= 0 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return 0;
        }
    }
}

void PosixClosePort(PortHandle port)
{
    const int descriptor = DescriptorFromHandle(port);
    if (descriptor < 0) {
        return;
    }
    if (SavedSettings *saved = SavedSlot(descriptor)) {
        SYSTEM_CALL(tcsetattr)(descriptor, TCSANOW, &saved->settings);
        saved->descriptor = -1;
    }
    SYSTEM_CALL(ioctl)(descriptor, TIOCNXCL, nullptr);
    SYSTEM_CALL(close)(descriptor);
}

// The device number: a port reached through a link (/dev/serial/by-id/...)
// or a second open is the same device.
std::uint64_t PosixIdentifyPort(PortHandle port, const char * /*devicePath*/)
{
    const int descriptor = DescriptorFromHandle(port);
    struct stat info {};
    if (descriptor < 0 || SYSTEM_CALL(fstatat)(descriptor, "", &info, AT_EMPTY_PATH) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(info.st_rdev);
}

std::uint32_t PosixCurrentProcess() { return static_cast<std::uint32_t>(SYSTEM_CALL(getpid)()); }

// ---- clock, sleep and the idle wait -------------------------------------

std::uint32_t PosixTickMilliseconds()
{
    timespec now{};
    SYSTEM_CALL(clock_gettime)(CLOCK_MONOTONIC, &now);
    const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
    return static_cast<std::uint32_t>(milliseconds);
}

void PosixSleepMilliseconds(std::uint32_t milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000U),
                       static_cast<long>(milliseconds % 1000U) * 1000000L};
    while (SYSTEM_CALL(nanosleep)(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void PosixWaitForInput(PortHandle port, std::uint32_t maxMilliseconds)
{
    const int descriptor = DescriptorFromHandle(port);
    const std::uint32_t start = PosixTickMilliseconds();
    if (descriptor >= 0) {
        pollfd entry{descriptor, POLLIN, 0};
        const int ready = SYSTEM_CALL(poll)(&entry, 1, static_cast<int>(maxMilliseconds));
        // Wake at once for data. A hung-up or failed line reports itself
        // ready all the time while reads return nothing, so it waits out
        // the interval instead, or the receiver would spin.
        if (ready > 0 && (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
            return;
        }
    }
    const std::uint32_t elapsed = PosixTickMilliseconds() - start;
    if (elapsed < maxMilliseconds) {
        PosixSleepMilliseconds(maxMilliseconds - elapsed);
    }
}

// ---- the table ----------------------------------------------------------

// Filled by name, so that no entry can land in another's place.
constexpr SerialServices MakePosixServices()
{
    SerialServices table{};
    table.devicePathPrefix = "/dev/";
    table.probePathPrefix = "/dev/";
    table.portNameForbidden = "";  // "pts/3" is a port name; climbing out with ".." is refused anyway
    table.devicePathSize = kMaxDevicePathSize;  // the system's PATH_MAX
    table.rootedNamesArePaths = true;            // /dev/ttyUSB0, /dev/serial/by-id/..., a link anywhere
    table.discoveredNameSize = kMaxDiscoveredNameSize;
    table.openPort = PosixOpenPort;
    table.configureLine = PosixConfigureLine;
    table.purgeReceiveQueue = PosixPurgeReceiveQueue;
    table.countWaitingBytes = PosixCountWaitingBytes;
    table.readByte = PosixReadByte;
    table.writeBytes = PosixWriteBytes;
    table.closePort = PosixClosePort;
    table.describeOpenFailure = DescribeOpenFailure;
    table.identifyPort = PosixIdentifyPort;
    table.currentProcess = PosixCurrentProcess;
    table.tickMilliseconds = PosixTickMilliseconds;
    table.sleepMilliseconds = PosixSleepMilliseconds;
    table.waitForInput = PosixWaitForInput;
    table.openPortList = LinuxOpenPortList;
    table.countPortListEntries = LinuxCountPortListEntries;
    table.readPortListEntry = LinuxReadPortListEntry;
    table.closePortList = LinuxClosePortList;
    return table;
}

constexpr SerialServices kPosixServices = MakePosixServices();

}  // namespace

const SerialServices &DefaultServices() { return kPosixServices; }

int PortDescriptor(PortHandle port) { return DescriptorFromHandle(port); }

}  // namespace gpiolink
