// Why an open of a port fails on Linux, found as PosixOpenPort would meet
// it: the open interface opens a name that starts with '/' as it stands and
// any other below /dev/, with paths of up to 4095 characters; it takes the
// port exclusively (flock and TIOCEXCL) and refuses anything that is not a
// terminal, and the terminals that belong to someone: the consoles, the
// kernel's consoles and any session's controlling terminal. Every system
// call goes through SYSTEM_CALL, and the text is written into the caller's
// buffer: nothing here allocates.
#include "link/open_failure.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "gpiolink.h"
#include "link/bounded_string.h"
#include "link/listed_ports.h"
#include "link/serial_services.h"
#include "link/system_calls_posix.h"
#include "link/terminal_owners_linux.h"

namespace gpiolink {
namespace {

// The ports discovery would try, as the services list them, in their order
// and within discovery's limit on a name's length.
void AddDiscoveryPorts(BoundedText &text)
{
    AddListedPorts(text, "the ports discovery would try: ", "discovery finds no serial port on this system",
                   Services().discoveredNameSize);
}

// The system's own words for an error number; strerror is not thread-safe.
void AddError(BoundedText &text, int error)
{
    char buffer[128];
    text.Add(": ").Add(strerror_r(error, buffer, sizeof(buffer)));
}

// The name of a user or a group, or its number when the system has none.
void AddUser(BoundedText &text, uid_t user)
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (SYSTEM_CALL(getpwuid_r)(user, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr) {
        text.Add(found->pw_name);
    } else {
        text.AddNumber(user);
    }
}

void AddGroup(BoundedText &text, gid_t id)
{
    group entry{};
    group *found = nullptr;
    char buffer[1024];
    if (SYSTEM_CALL(getgrgid_r)(id, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr) {
        text.Add(found->gr_name);
    } else {
        text.AddNumber(id);
    }
}

// Joining the device's group lets the user in only when that group may read
// and write it and the user does not own it (an owner gets the owner's bits,
// never the group's). Group root is never offered: its members may read and
// write far more than one port. Otherwise the line says who owns the port
// and what would give access.
int PermissionDenied(BoundedText &text, const char *path, const struct stat &info)
{
    const bool groupReadsAndWrites = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    text.Add("permission denied: ").Add(path);
    if (groupReadsAndWrites && info.st_gid != 0 && info.st_uid != SYSTEM_CALL(geteuid)()) {
        text.Add(" belongs to group ");
        AddGroup(text, info.st_gid);
        text.Add("; add yourself with 'sudo usermod -aG ");
        AddGroup(text, info.st_gid);
        text.Add(" $USER', then log in again");
    } else {
        text.Add(" is owned by user ");
        AddUser(text, info.st_uid);
        text.Add(" and group ");
        AddGroup(text, info.st_gid);
        text.Add(" with mode ")
            .AddMode(info.st_mode & 07777U)
            .Add(", and no group you should join would let you in; a udev rule that gives it a group such as "
                 "dialout and mode 0660 would; then add yourself to that group and log in again");
    }
    return GPIOLINK_OPEN_FAILURE_PERMISSION;
}

int NotSerial(BoundedText &text, const char *path, const char *what)
{
    text.Add("not a serial device: ").Add(path).Add(" is ").Add(what);
    return GPIOLINK_OPEN_FAILURE_NOT_SERIAL;
}

int Busy(BoundedText &text, const char *path)
{
    text.Add("busy: ").Add(path).Add(" is held by another process");
    return GPIOLINK_OPEN_FAILURE_BUSY;
}

// What stat() says of the path, before anything is opened.
int DescribeMissing(BoundedText &text, const char *path, int error)
{
    switch (error) {
    case ENAMETOOLONG:
        text.Add("name too long: a part of the path is longer than the system allows (255 characters)");
        return GPIOLINK_OPEN_FAILURE_NAME;
    case ENOENT:
    case ENOTDIR:
        text.Add("no such device: ").Add(path).Add(" does not exist; ");
        AddDiscoveryPorts(text);
        return GPIOLINK_OPEN_FAILURE_NO_SUCH_DEVICE;
    case EACCES:
        text.Add("permission denied: a folder on the way to ").Add(path).Add(" cannot be searched");
        return GPIOLINK_OPEN_FAILURE_PERMISSION;
    default:
        AddError(text.Add(path), error);
        return GPIOLINK_OPEN_FAILURE_OTHER;
    }
}

// The terminals that the open refuses although they are terminals, or -1
// for any other terminal.
int DescribeForeignTerminal(BoundedText &text, int descriptor, const char *path, dev_t device)
{
    unsigned int ptyNumber = 0;
    if (SYSTEM_CALL(ioctl)(descriptor, TIOCGPTN, &ptyNumber) == 0) {
        return NotSerial(text, path, "the master side of a pseudo-terminal; open its pts/N side");
    }
    pid_t session = 0;
    if (SYSTEM_CALL(ioctl)(descriptor, TIOCGSID, &session) == 0 && session == SYSTEM_CALL(getsid)(0)) {
        text.Add("not a serial device: ").Add(path).Add(" is the terminal of this session, not a line to a controller");
        return GPIOLINK_OPEN_FAILURE_SESSION;
    }
    if (IsConsoleDevice(device)) {
        text.Add("not a serial device: ")
            .Add(path)
            .Add(" is a console of the system (/dev/console or a virtual console), not a line to a controller");
        return GPIOLINK_OPEN_FAILURE_CONSOLE;
    }
    char console[32];
    if (IsKernelConsoleDevice(device, console, sizeof(console))) {
        text.Add("not a serial device: ")
            .Add(path)
            .Add(" is the kernel's console (/proc/consoles); free it by removing console=")
            .Add(console)
            .Add(" from the kernel's command line");
        return GPIOLINK_OPEN_FAILURE_CONSOLE;
    }
    TerminalHolder holder;
    if (FindTerminalHolder(device, &holder)) {
        text.Add("not a serial device: ")
            .Add(path)
            .Add(" is the controlling terminal of another session (process ")
            .AddNumber(holder.process)
            .Add(", ")
            .Add(holder.command)
            .Add("), not a line to a controller");
        return GPIOLINK_OPEN_FAILURE_SESSION;
    }
    return -1;
}

// What the trial open and the open port show.
int DescribeOpened(BoundedText &text, const char *path, const struct stat &info)
{
    const int descriptor = SYSTEM_CALL(open)(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        switch (error) {
        case EBUSY:
            return Busy(text, path);
        case EACCES:
        case EPERM:
            return PermissionDenied(text, path, info);
        case ENXIO:
        case ENODEV:
            text.Add("no such device: ").Add(path).Add(" has no device behind it (unplugged?)");
            return GPIOLINK_OPEN_FAILURE_NO_SUCH_DEVICE;
        default:
            AddError(text.Add(path), error);
            return GPIOLINK_OPEN_FAILURE_OTHER;
        }
    }
    int cause = GPIOLINK_OPEN_FAILURE_NONE;
    if (SYSTEM_CALL(isatty)(descriptor) != 1) {
        cause = NotSerial(text, path, "a device but not a terminal");
    } else if ((cause = DescribeForeignTerminal(text, descriptor, path, info.st_rdev)) < 0) {
        if (SYSTEM_CALL(flock)(descriptor, LOCK_EX | LOCK_NB) != 0) {
            cause = Busy(text, path);
        } else {
            text.Add("the port opens now: it may have been busy for a moment; try again");
            cause = GPIOLINK_OPEN_FAILURE_NONE;
        }
    }
    SYSTEM_CALL(close)(descriptor);
    return cause;
}

}  // namespace

int DescribeOpenFailure(const char *portName, char *buffer, std::size_t size)
{
    BoundedText text(buffer, size);
    const bool rooted = portName[0] == '/';
    char path[kMaxDevicePathSize];
    if (!JoinBounded(path, sizeof(path), rooted ? "" : "/dev/", portName)) {
        text.Add("name too long: a port's path has at most ").AddNumber(kMaxDevicePathSize - 1).Add(" characters");
        return GPIOLINK_OPEN_FAILURE_NAME;
    }
    if (!rooted && std::strstr(portName, "..") != nullptr) {
        text.Add("not a port name: a name below /dev/ may not climb out with '..'; give a path that starts with '/'");
        return GPIOLINK_OPEN_FAILURE_NAME;
    }
    struct stat info {};
    if (SYSTEM_CALL(fstatat)(AT_FDCWD, path, &info, 0) != 0) {
        return DescribeMissing(text, path, errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return NotSerial(text, path, "a folder");
    }
    if (S_ISREG(info.st_mode)) {
        return NotSerial(text, path, "a regular file");
    }
    if (S_ISBLK(info.st_mode)) {
        return NotSerial(text, path, "a disk");
    }
    if (!S_ISCHR(info.st_mode)) {
        return NotSerial(text, path, "not a device");
    }
    return DescribeOpened(text, path, info);
}

}  // namespace gpiolink
