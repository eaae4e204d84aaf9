// The POSIX platform files' system calls, and the replacement a test installs.
#include "link/posix_system_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace gpiolink {
namespace {

// Each wrapper fixes a variadic or overloaded call to one plain signature.
int SystemOpen(const char *path, int flags) { return ::open(path, flags); }
int SystemOpenat(int directory, const char *path, int flags) { return ::openat(directory, path, flags); }
int SystemClose(int descriptor) { return ::close(descriptor); }
int SystemIsatty(int descriptor) { return ::isatty(descriptor); }
int SystemFlock(int descriptor, int operation) { return ::flock(descriptor, operation); }
int SystemIoctl(int descriptor, unsigned long request, void *argument) { return ::ioctl(descriptor, request, argument); }
int SystemTcgetattr(int descriptor, termios *settings) { return ::tcgetattr(descriptor, settings); }
int SystemTcsetattr(int descriptor, int when, const termios *settings) { return ::tcsetattr(descriptor, when, settings); }
int SystemTcflush(int descriptor, int queue) { return ::tcflush(descriptor, queue); }
ssize_t SystemRead(int descriptor, void *buffer, std::size_t count) { return ::read(descriptor, buffer, count); }
ssize_t SystemWrite(int descriptor, const void *buffer, std::size_t count)
{
    return ::write(descriptor, buffer, count);
}
int SystemPoll(pollfd *entries, nfds_t count, int timeoutMs) { return ::poll(entries, count, timeoutMs); }
int SystemClockGettime(clockid_t clock, timespec *now) { return ::clock_gettime(clock, now); }
int SystemNanosleep(const timespec *request, timespec *remaining) { return ::nanosleep(request, remaining); }
long SystemGetdents64(int directory, void *buffer, std::size_t size)
{
    return ::syscall(SYS_getdents64, directory, buffer, size);
}
int SystemFstatat(int directory, const char *path, struct stat *info, int flags)
{
    return ::fstatat(directory, path, info, flags);
}

// Filled by name, so that no entry can land in another's place.
constexpr PosixSystemCalls MakeSystemCalls()
{
    PosixSystemCalls calls{};
    calls.open = SystemOpen;
    calls.openat = SystemOpenat;
    calls.close = SystemClose;
    calls.isatty = SystemIsatty;
    calls.flock = SystemFlock;
    calls.ioctl = SystemIoctl;
    calls.tcgetattr = SystemTcgetattr;
    calls.tcsetattr = SystemTcsetattr;
    calls.tcflush = SystemTcflush;
    calls.read = SystemRead;
    calls.write = SystemWrite;
    calls.poll = SystemPoll;
    calls.clockGettime = SystemClockGettime;
    calls.nanosleep = SystemNanosleep;
    calls.getdents64 = SystemGetdents64;
    calls.fstatat = SystemFstatat;
    return calls;
}

constexpr PosixSystemCalls kSystemCalls = MakeSystemCalls();

// A replacement table, copied in by SetSystemCalls; null while the system's
// own calls are in force.
PosixSystemCalls g_replacement;
const PosixSystemCalls *g_installed = nullptr;

}  // namespace

const PosixSystemCalls &SystemCalls() { return g_installed != nullptr ? *g_installed : kSystemCalls; }

const PosixSystemCalls &DefaultSystemCalls() { return kSystemCalls; }

void SetSystemCalls(const PosixSystemCalls *calls)
{
    if (calls == nullptr) {
        g_installed = nullptr;
        return;
    }
    g_replacement = *calls;
    g_installed = &g_replacement;
}

}  // namespace gpiolink
