#include "link/terminal_owners_linux.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <cstring>

#include "link/bounded_string.h"
#include "link/linux_files.h"
#include "link/system_calls_posix.h"

namespace gpiolink {
namespace {

// Device majors of the console drivers (Documentation/admin-guide/devices.txt).
constexpr unsigned kVirtualConsoleMajor = 4;  // tty0-tty63; ttyS* are minors 64 and up
constexpr unsigned kAlternateTtyMajor = 5;    // 0: /dev/tty, 1: /dev/console
constexpr unsigned kVirtualConsoles = 64;

// Reads a decimal number at `text`, up to `end`, and moves past it and the
// blank after it. False when none is there.
template <typename Number>
bool ReadNumber(const char *&text, const char *end, Number &value)
{
    const std::from_chars_result read = std::from_chars(text, end, value);
    if (read.ec != std::errc()) {
        return false;
    }
    text = read.ptr < end && *read.ptr == ' ' ? read.ptr + 1 : read.ptr;
    return true;
}

// The kernel's tty_nr of /proc/PID/stat as a device number. The kernel
// writes it as new_encode_dev does: minor bits 0-7 and 20-31, major bits
// 8-19, so that a minor past 255 (pts/256 and up) keeps its high bits.
dev_t DecodeTerminal(unsigned long long number)
{
    return makedev((number >> 8) & 0xFFFU, (number & 0xFFU) | ((number >> 12) & 0xFFF00U));
}

// The process of /proc/PID/stat, whose line reads "PID (COMMAND) STATE
// PPID PGRP SESSION TTY_NR ...": its session and controlling terminal. The
// command may hold spaces and parentheses, so the fields are counted from
// the last ')'. False when it has no terminal or cannot be read.
struct ProcessStat {
    unsigned long long session = 0;
    dev_t terminal = 0;
    const char *command = nullptr;  // into the line, `commandLength` bytes
    std::size_t commandLength = 0;
};

bool ReadProcessStat(int proc, const char *pid, char (&line)[512], ProcessStat &process)
{
    char path[32];
    if (!JoinBounded(path, sizeof(path), pid, "/stat") || ReadSmallFile(proc, path, line, sizeof(line)) <= 0) {
        return false;
    }
    const char *opening = std::strchr(line, '(');
    const char *closing = std::strrchr(line, ')');
    if (opening == nullptr || closing == nullptr || closing < opening || closing[1] != ' ' || closing[2] == '\0' ||
        closing[3] != ' ') {
        return false;
    }
    const char *field = closing + 4;  // past ") S "
    const char *end = line + std::strlen(line);
    long long parent = 0;
    long long processGroup = 0;
    long long terminal = 0;
    if (!ReadNumber(field, end, parent) || !ReadNumber(field, end, processGroup) ||
        !ReadNumber(field, end, process.session) || !ReadNumber(field, end, terminal) || terminal <= 0) {
        return false;
    }
    process.terminal = DecodeTerminal(static_cast<unsigned long long>(terminal));
    process.command = opening + 1;
    process.commandLength = static_cast<std::size_t>(closing - opening - 1);
    return true;
}

bool IsDigits(const char *text)
{
    const char *const end = text + std::strlen(text);
    unsigned long long number = 0;
    return text != end && std::from_chars(text, end, number).ptr == end;
}

// Calls visit(name, nameLength, device) for each line of /proc/consoles
// until it returns true; the device is 0 for a console without a tty.
// True when a visit returned true.
template <typename Visit>
bool AnyConsole(const char *consoles, Visit visit)
{
    for (const char *line = consoles; *line != '\0';) {
        const char *end = std::strchr(line, '\n');
        end = end != nullptr ? end : line + std::strlen(line);
        const std::size_t nameLength = std::strcspn(line, " \t\n");
        // The device number ends the line: "MAJOR:MINOR".
        const char *number = end;
        while (number > line && number[-1] != ' ') {
            --number;
        }
        unsigned deviceMajor = 0;
        unsigned deviceMinor = 0;
        const std::from_chars_result read = std::from_chars(number, end, deviceMajor);
        dev_t device = 0;
        if (read.ec == std::errc() && read.ptr < end && *read.ptr == ':' &&
            std::from_chars(read.ptr + 1, end, deviceMinor).ptr == end) {
            device = makedev(deviceMajor, deviceMinor);
        }
        if (visit(line, nameLength, device)) {
            return true;
        }
        line = *end == '\n' ? end + 1 : end;
    }
    return false;
}

}  // namespace

bool IsConsoleDevice(dev_t device)
{
    const unsigned deviceMajor = major(device);
    const unsigned deviceMinor = minor(device);
    return (deviceMajor == kVirtualConsoleMajor && deviceMinor < kVirtualConsoles) ||
           (deviceMajor == kAlternateTtyMajor && deviceMinor <= 1);
}

void ReadKernelConsoles(char *text) { ReadSmallFile(AT_FDCWD, "/proc/consoles", text, kKernelConsolesSize); }

bool ListsConsoleNamed(const char *consoles, const char *name)
{
    const std::size_t length = std::strlen(name);
    return AnyConsole(consoles, [&](const char *line, std::size_t nameLength, dev_t) {
        return nameLength == length && std::strncmp(line, name, length) == 0;
    });
}

bool IsKernelConsoleDevice(dev_t device, char *name, std::size_t nameSize)
{
    char consoles[kKernelConsolesSize];
    ReadKernelConsoles(consoles);
    return AnyConsole(consoles, [&](const char *line, std::size_t nameLength, dev_t shown) {
        if (shown == 0 || shown != device) {
            return false;
        }
        if (name != nullptr && nameSize > 0) {
            const std::size_t length = nameLength < nameSize - 1 ? nameLength : nameSize - 1;
            std::memcpy(name, line, length);
            name[length] = '\0';
        }
        return true;
    });
}

bool FindTerminalHolder(dev_t device, TerminalHolder *holder)
{
    const int proc = SYSTEM_CALL(open)("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        return false;
    }
    bool found = false;
    ForEachDirectoryEntry(proc, [&](const char *name) {
        char line[512];
        ProcessStat process;
        if (!IsDigits(name) || !ReadProcessStat(proc, name, line, process) || process.terminal != device) {
            return true;
        }
        unsigned long long pid = 0;
        std::from_chars(name, name + std::strlen(name), pid);
        const bool leader = process.session == pid;
        if (holder != nullptr && (!found || leader)) {
            holder->process = pid;
            const std::size_t length = process.commandLength < sizeof(holder->command) - 1 ? process.commandLength
                                                                                        : sizeof(holder->command) - 1;
            std::memcpy(holder->command, process.command, length);
            holder->command[length] = '\0';
        }
        found = true;
        return holder != nullptr && !leader;
    });
    SYSTEM_CALL(close)(proc);
    return found;
}

}  // namespace gpiolink
