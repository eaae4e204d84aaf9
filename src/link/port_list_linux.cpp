// The port list on Linux. Every tty the kernel knows appears in
// /sys/class/tty; those with a "device" entry sit on real hardware (USB
// adapters, on-board UARTs), while virtual consoles and pseudo-terminals
// have none. The serial8250 driver registers a fixed number of ttyS ports
// whether or not a UART is fitted, so a ttyS port whose sysfs "type" is 0
// (no UART) is passed over: probing it would only cost a silent time-out.
// The type is read from sysfs, never by opening the port: an open raises
// DTR and RTS on real hardware, and the close drops them again.
//
// The kernel's consoles (/proc/consoles: a VM's ttyS0, a board's ttyAMA0,
// the virtual consoles) are left out: a probe would write a frame onto the
// console, among the kernel's messages and in front of its login prompt.
//
// The list is read once when it is opened, into a fixed table, and the
// directory is read with getdents64 on a plain descriptor: nothing here
// allocates from the heap. Every system call goes through SYSTEM_CALL.
#include "link/port_list_linux.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>

#include "link/bounded_string.h"
#include "link/linux_files.h"
#include "link/port_name_order.h"
#include "link/system_calls_posix.h"
#include "link/terminal_owners_linux.h"

namespace gpiolink {
namespace {

constexpr std::size_t kMaxPorts = 128;
constexpr std::size_t kMaxNameLength = 31;

struct PortList {
    char names[kMaxPorts][kMaxNameLength + 1];
    std::uint32_t count;
};

// One list at a time: calls into the library never overlap.
PortList g_list;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True for a ttyS port whose sysfs entry, in the open /sys/class/tty
// `directory`, says that no UART is fitted ("0", PORT_UNKNOWN). A type that
// cannot be read leaves the port listed: the probe decides.
bool IsPhantomUart(int directory, const char *name)
{
    if (std::strncmp(name, "ttyS", 4) != 0 || !IsDigit(name[4])) {
        return false;
    }
    char typePath[kMaxNameLength + sizeof("/type")];
    if (!JoinBounded(typePath, sizeof(typePath), name, "/type")) {
        return false;
    }
    char text[8];
    const long got = ReadSmallFile(directory, typePath, text, sizeof(text));
    return got >= 1 && text[0] == '0' && (got == 1 || text[1] == '\n');
}

// Adds a name in natural order; names too long for the table are passed
// over. A full table keeps the ports that come first in that order, the
// ones discovery tries first, whatever order the directory lists them in:
// a name that sorts before the last one takes its place.
void InsertSorted(PortList &list, const char *name)
{
    if (BoundedLength(name, kMaxNameLength + 1) > kMaxNameLength) {
        return;
    }
    if (list.count == kMaxPorts) {
        if (ComparePortNames(list.names[kMaxPorts - 1], name) <= 0) {
            return;
        }
        --list.count;
    }
    std::uint32_t at = list.count;
    while (at > 0 && ComparePortNames(list.names[at - 1], name) > 0) {
        std::memcpy(list.names[at], list.names[at - 1], sizeof(list.names[at]));
        --at;
    }
    JoinBounded(list.names[at], sizeof(list.names[at]), "", name);
    ++list.count;
}

}  // namespace

bool LinuxOpenPortList(PortListHandle *list)
{
    const int directory = SYSTEM_CALL(open)("/sys/class/tty", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return false;
    }
    g_list.count = 0;
    // No console list (an old kernel, no /proc) leaves every port listed.
    char consoles[kKernelConsolesSize];
    ReadKernelConsoles(consoles);
    const bool readable = ForEachDirectoryEntry(directory, [&](const char *name) {
        char devicePath[kMaxNameLength + sizeof("/device")];
        struct stat info {};
        if (name[0] != '.' && JoinBounded(devicePath, sizeof(devicePath), name, "/device") &&
            SYSTEM_CALL(fstatat)(directory, devicePath, &info, 0) == 0 && !IsPhantomUart(directory, name) &&
            !ListsConsoleNamed(consoles, name)) {
            InsertSorted(g_list, name);
        }
        return true;
    });
    SYSTEM_CALL(close)(directory);
    if (!readable) {
        return false;
    }
    *list = &g_list;
    return true;
}

bool LinuxCountPortListEntries(PortListHandle list, std::uint32_t *count)
{
    *count = static_cast<const PortList *>(list)->count;
    return true;
}

bool LinuxReadPortListEntry(PortListHandle list, std::uint32_t index, char *name)
{
    const auto *ports = static_cast<const PortList *>(list);
    if (index >= ports->count) {
        return false;
    }
    return JoinBounded(name, kPortListEntrySize, "", ports->names[index]);
}

void LinuxClosePortList(PortListHandle /*list*/) { g_list.count = 0; }

}  // namespace gpiolink
