// The POSIX platform files' system calls, each of one plain signature.
#include "link/system_calls_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace gpiolink {

namespace posix {
int open(const char *path, int flags) { return ::open(path, flags); }
int openat(int directory, const char *path, int flags) { return ::openat(directory, path, flags); }
int close(int descriptor) { return ::close(descriptor); }
int isatty(int descriptor) { return ::isatty(descriptor); }
int flock(int descriptor, int operation) { return ::flock(descriptor, operation); }
int ioctl(int descriptor, unsigned long request, void *argument) { return ::ioctl(descriptor, request, argument); }
int tcgetattr(int descriptor, termios *settings) { return ::tcgetattr(descriptor, settings); }
int tcsetattr(int descriptor, int when, const termios *settings) { return ::tcsetattr(descriptor, when, settings); }
int tcflush(int descriptor, int queue) { return ::tcflush(descriptor, queue); }
ssize_t read(int descriptor, void *buffer, std::size_t count) { return ::read(descriptor, buffer, count); }
ssize_t write(int descriptor, const void *buffer, std::size_t count) { return ::write(descriptor, buffer, count); }
int poll(pollfd *entries, nfds_t count, int timeoutMs) { return ::poll(entries, count, timeoutMs); }
int clock_gettime(clockid_t clock, timespec *now) { return ::clock_gettime(clock, now); }
int nanosleep(const timespec *request, timespec *remaining) { return ::nanosleep(request, remaining); }
pid_t getsid(pid_t process) { return ::getsid(process); }
pid_t getpid() { return ::getpid(); }
long getdents64(int directory, void *buffer, std::size_t size) { return ::syscall(SYS_getdents64, directory, buffer, size); }
int fstatat(int directory, const char *path, struct stat *info, int flags)
{
#if defined(SYS_newfstatat) && (defined(__x86_64__) || defined(__aarch64__))
    // The system call itself, as glibc's own fstatat makes it on these
    // machines (where its struct stat is the kernel's): the fstatat symbol
    // exists only from glibc 2.33 on, and the library needs nothing newer
    // than 2.28.
    return static_cast<int>(::syscall(SYS_newfstatat, directory, path, info, flags));
#else
    return ::fstatat(directory, path, info, flags);
#endif
}
uid_t geteuid() { return ::geteuid(); }
int getpwuid_r(uid_t id, passwd *entry, char *buffer, std::size_t size, passwd **found)
{
    return ::getpwuid_r(id, entry, buffer, size, found);
}
int getgrgid_r(gid_t id, group *entry, char *buffer, std::size_t size, group **found)
{
    return ::getgrgid_r(id, entry, buffer, size, found);
}
}  // namespace posix

}  // namespace gpiolink
