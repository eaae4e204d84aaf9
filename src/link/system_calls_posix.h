// The system calls of the POSIX platform files (serial_services_posix.cpp,
// port_list_linux.cpp, linux_files.cpp, terminal_owners_linux.cpp,
// open_failure_posix.cpp): the table of system_call_table.h for POSIX. The files call the system only
// as SYSTEM_CALL(open)(...); a test puts a fake in force with
// ReplaceSystemCall(&SystemCalls::open, ...).
#ifndef GPIOLINK_LINK_SYSTEM_CALLS_POSIX_H
#define GPIOLINK_LINK_SYSTEM_CALLS_POSIX_H

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <ctime>

#include "link/system_call_table.h"

namespace gpiolink {

// The system's own calls, each fixed to one plain signature (no variadic or
// overloaded forms), under the system's names: the type of each entry. A
// test's fake calls these to reach the system.
namespace posix {
int open(const char *path, int flags);
int openat(int directory, const char *path, int flags);
int close(int descriptor);
int isatty(int descriptor);
int flock(int descriptor, int operation);
// ioctl with a pointer argument (null for requests that take none).
int ioctl(int descriptor, unsigned long request, void *argument);
int tcgetattr(int descriptor, termios *settings);
int tcsetattr(int descriptor, int when, const termios *settings);
int tcflush(int descriptor, int queue);
ssize_t read(int descriptor, void *buffer, std::size_t count);
ssize_t write(int descriptor, const void *buffer, std::size_t count);
int poll(pollfd *entries, nfds_t count, int timeoutMs);
int clock_gettime(clockid_t clock, timespec *now);
int nanosleep(const timespec *request, timespec *remaining);
pid_t getsid(pid_t process);
pid_t getpid();
// Linux's getdents64: directory entries into a buffer.
long getdents64(int directory, void *buffer, std::size_t size);
int fstatat(int directory, const char *path, struct stat *info, int flags);
uid_t geteuid();
// The names of a user and a group, into the caller's buffer.
int getpwuid_r(uid_t id, passwd *entry, char *buffer, std::size_t size, passwd **found);
int getgrgid_r(gid_t id, group *entry, char *buffer, std::size_t size, group **found);
}  // namespace posix

// Every entry of the table, in order.
#define GPIOLINK_SYSTEM_CALLS(X) \
    X(open)                      \
    X(openat)                    \
    X(close)                     \
    X(isatty)                    \
    X(flock)                     \
    X(ioctl)                     \
    X(tcgetattr)                 \
    X(tcsetattr)                 \
    X(tcflush)                   \
    X(read)                      \
    X(write)                     \
    X(poll)                      \
    X(clock_gettime)             \
    X(nanosleep)                 \
    X(getsid)                    \
    X(getpid)                    \
    X(getdents64)                \
    X(fstatat)                   \
    X(geteuid)                   \
    X(getpwuid_r)                \
    X(getgrgid_r)

// The system's own function of an entry.
#define GPIOLINK_SYSTEM_FUNCTION(function) (&::gpiolink::posix::function)

// The table: a member per call, of the type of its function in posix.
struct SystemCalls {
// The member's name cannot be parenthesised.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define GPIOLINK_SYSTEM_CALL_MEMBER(function) decltype(GPIOLINK_SYSTEM_FUNCTION(function)) function;
    GPIOLINK_SYSTEM_CALLS(GPIOLINK_SYSTEM_CALL_MEMBER)
#undef GPIOLINK_SYSTEM_CALL_MEMBER
};

}  // namespace gpiolink

#endif  // GPIOLINK_LINK_SYSTEM_CALLS_POSIX_H
