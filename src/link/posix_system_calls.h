// The system calls of the POSIX platform files (serial_services_posix.cpp,
// port_list_linux.cpp), through one small table of their own.
//
// The platform files call the system only through SystemCalls(). A test
// replaces any entry to see the exact flags, settings and requests that the
// file passes, and to make any call fail, which a pseudo-terminal cannot
// show: it has no modem lines, no driver latency and no UART. This table
// sits below the services table and is private to the platform files.
#ifndef GPIOLINK_LINK_POSIX_SYSTEM_CALLS_H
#define GPIOLINK_LINK_POSIX_SYSTEM_CALLS_H

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <ctime>

namespace gpiolink {

struct PosixSystemCalls {
    int (*open)(const char *path, int flags);
    int (*openat)(int directory, const char *path, int flags);
    int (*close)(int descriptor);
    int (*isatty)(int descriptor);
    int (*flock)(int descriptor, int operation);
    // ioctl with a pointer argument (null for requests that take none).
    int (*ioctl)(int descriptor, unsigned long request, void *argument);
    int (*tcgetattr)(int descriptor, termios *settings);
    int (*tcsetattr)(int descriptor, int when, const termios *settings);
    int (*tcflush)(int descriptor, int queue);
    ssize_t (*read)(int descriptor, void *buffer, std::size_t count);
    ssize_t (*write)(int descriptor, const void *buffer, std::size_t count);
    int (*poll)(pollfd *entries, nfds_t count, int timeoutMs);
    int (*clockGettime)(clockid_t clock, timespec *now);
    int (*nanosleep)(const timespec *request, timespec *remaining);
    // Linux's getdents64: directory entries into a buffer.
    long (*getdents64)(int directory, void *buffer, std::size_t size);
    int (*fstatat)(int directory, const char *path, struct stat *info, int flags);
};

// The table in force.
const PosixSystemCalls &SystemCalls();

// The system's own calls.
const PosixSystemCalls &DefaultSystemCalls();

// Installs a replacement table (tests); null restores the system's calls.
// The table is copied: a test copies DefaultSystemCalls(), replaces the
// entries it watches, and installs the copy.
void SetSystemCalls(const PosixSystemCalls *calls);

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_POSIX_SYSTEM_CALLS_H
