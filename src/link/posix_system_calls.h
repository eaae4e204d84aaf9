// The system calls of the POSIX platform files (serial_services_posix.cpp,
// port_list_linux.cpp), each through a named entry of the table of
// system_call_table.h. The platform files call the system only as
// SYSTEM_CALL(open)(...); a test replaces an entry with
// ReplaceSystemCall("open", ...).
#ifndef GPIOLINK_LINK_POSIX_SYSTEM_CALLS_H
#define GPIOLINK_LINK_POSIX_SYSTEM_CALLS_H

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <ctime>

#include "link/system_call_table.h"

namespace gpiolink {

// The system's own calls, each fixed to one plain signature (no variadic or
// overloaded forms), under the system's names. A test's replacement calls
// these to reach the system.
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
}  // namespace posix

// Every entry of the table, in order.
#define GPIOLINK_POSIX_CALLS(X) \
    X(open)                     \
    X(openat)                   \
    X(close)                    \
    X(isatty)                   \
    X(flock)                    \
    X(ioctl)                    \
    X(tcgetattr)                \
    X(tcsetattr)                \
    X(tcflush)                  \
    X(read)                     \
    X(write)                    \
    X(poll)                     \
    X(clock_gettime)            \
    X(nanosleep)                \
    X(getsid)                   \
    X(getpid)                   \
    X(getdents64)               \
    X(fstatat)

enum PosixCallIndex : unsigned {
#define GPIOLINK_POSIX_CALL_INDEX(function) kPosixCall_##function,
    GPIOLINK_POSIX_CALLS(GPIOLINK_POSIX_CALL_INDEX)
#undef GPIOLINK_POSIX_CALL_INDEX
};

// The function in force for an entry.
SystemCall PosixCallInForce(PosixCallIndex index);

}  // namespace gpiolink

// The function in force for `function`, in that function's own type.
#define SYSTEM_CALL(function)                                      \
    (reinterpret_cast<decltype(&::gpiolink::posix::function)>(     \
        ::gpiolink::PosixCallInForce(::gpiolink::kPosixCall_##function)))

#endif  // GPIOLINK_LINK_POSIX_SYSTEM_CALLS_H
