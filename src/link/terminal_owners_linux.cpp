#include "link/terminal_owners_linux.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

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

bool IsDigits(const char *text)
{
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

// Reads a decimal number, with an optional minus sign, at `text`, and
// moves past it and the blank after it. False when none is there.
bool ReadField(const char *&text, long long &value)
{
    const bool negative = *text == '-';
    const char *at = negative ? text + 1 : text;
    if (*at < '0' || *at > '9') {
        return false;
    }
    value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + (*at - '0');
    }
    value = negative ? -value : value;
    text = *at == ' ' ? at + 1 : at;
    return true;
}

// The controlling terminal of process `pid` from /proc/PID/stat, whose
// line reads "PID (COMMAND) STATE PPID PGRP SESSION TTY_NR ...". The
// command may hold spaces and parentheses, so the fields are counted from
// the last ')'. False when it has none or cannot be read.
bool ProcessTerminal(int proc, const char *pid, dev_t &terminal)
{
    char path[32];
    char line[512];
    if (!JoinBounded(path, sizeof(path), pid, "/stat") || ReadSmallFile(proc, path, line, sizeof(line)) <= 0) {
        return false;
    }
    const char *field = std::strrchr(line, ')');
    if (field == nullptr || field[1] != ' ' || field[2] == '\0' || field[3] != ' ') {
        return false;
    }
    field += 4;  // past ") S "
    long long value = 0;
    for (int skipped = 0; skipped < 3; ++skipped) {  // PPID, PGRP, SESSION
        if (!ReadField(field, value)) {
            return false;
        }
    }
    if (!ReadField(field, value) || value <= 0) {
        return false;
    }
    // The kernel's encoding: minor bits 0-7 and 20-31, major bits 8-19.
    const auto number = static_cast<unsigned long long>(value);
    terminal = makedev((number >> 8) & 0xFFFU, (number & 0xFFU) | ((number >> 12) & 0xFFF00U));
    return true;
}

}  // namespace

bool IsConsoleDevice(dev_t device)
{
    const unsigned deviceMajor = major(device);
    const unsigned deviceMinor = minor(device);
    return (deviceMajor == kVirtualConsoleMajor && deviceMinor < kVirtualConsoles) ||
           (deviceMajor == kAlternateTtyMajor && deviceMinor <= 1);
}

bool IsAnySessionsTerminal(dev_t device)
{
    const int proc = SYSTEM_CALL(open)("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        return false;
    }
    bool found = false;
    ForEachDirectoryEntry(proc, [&](const char *name) {
        dev_t terminal = 0;
        found = IsDigits(name) && ProcessTerminal(proc, name, terminal) && terminal == device;
        return !found;
    });
    SYSTEM_CALL(close)(proc);
    return found;
}

}  // namespace gpiolink
