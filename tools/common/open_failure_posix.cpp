// The causes of a failed open on Linux. The library opens a name that
// starts with '/' as it stands and any other below /dev/, with paths of up
// to 4095 characters; it takes the port exclusively (flock and TIOCEXCL)
// and refuses anything that is not a terminal.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

#include "link/port_name_order.h"
#include "open_failure.h"

namespace gpio_tools {
namespace {

constexpr std::size_t kMaxPathLength = 4095;
constexpr std::size_t kMaxDiscoveredName = 19;
const char *const kTtyClass = "/sys/class/tty";

// The terminals that the library refuses although they are terminals: the
// master side of a pseudo-terminal and the caller's own terminal. Returns
// the cause, or "" for any other terminal.
std::string ForeignTerminal(int descriptor, const std::string &path)
{
    unsigned int ptyNumber = 0;
    if (ioctl(descriptor, TIOCGPTN, &ptyNumber) == 0) {
        return "not a serial device: " + path + " is the master side of a pseudo-terminal; open its pts/N side";
    }
    pid_t session = 0;
    if (ioctl(descriptor, TIOCGSID, &session) == 0 && session == getsid(0)) {
        return "not a serial device: " + path + " is the terminal of this session, not a line to a controller";
    }
    return "";
}

}  // namespace

// The ports discovery would probe: ttys with a device behind them, less the
// ttyS ports that sysfs reports with no UART, in the library's limits.
std::vector<std::string> DiscoveryPorts()
{
    std::vector<std::string> names;
    DIR *folder = opendir(kTtyClass);
    if (folder == nullptr) {
        return names;
    }
    while (const dirent *entry = readdir(folder)) {
        const std::string name = entry->d_name;
        const std::string base = std::string(kTtyClass) + "/" + name;
        struct stat info {};
        if (name[0] == '.' || name.size() > kMaxDiscoveredName || stat((base + "/device").c_str(), &info) != 0) {
            continue;
        }
        std::string type;
        if (name.compare(0, 4, "ttyS") == 0 && std::getline(std::ifstream(base + "/type"), type) && type == "0") {
            continue;
        }
        names.push_back(name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end(), [](const std::string &left, const std::string &right) {
        return gpiolink::ComparePortNames(left.c_str(), right.c_str()) < 0;
    });
    return names;
}

namespace {

std::string NoSuchDevice(const std::string &path)
{
    std::string text = "no such device: " + path + " does not exist; ";
    const std::vector<std::string> ports = DiscoveryPorts();
    if (ports.empty()) {
        return text + "discovery finds no serial port on this system";
    }
    text += "the ports discovery would try:";
    for (const std::string &port : ports) {
        text += " " + port;
    }
    return text;
}

std::string NameOfGroup(gid_t id)
{
    const group *entry = getgrgid(id);
    return entry != nullptr ? entry->gr_name : std::to_string(id);
}

std::string NameOfUser(uid_t id)
{
    const passwd *entry = getpwuid(id);
    return entry != nullptr ? entry->pw_name : std::to_string(id);
}

// Joining the device's group lets the user in only when that group may read
// and write it and the user does not own it (an owner gets the owner's bits,
// never the group's). Group root is never offered: its members may read and
// write far more than one port. Otherwise the message says who owns the port
// and what would give access.
std::string PermissionDenied(const std::string &path, const struct stat &info)
{
    const std::string group = NameOfGroup(info.st_gid);
    const bool groupReadsAndWrites = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (groupReadsAndWrites && info.st_gid != 0 && info.st_uid != geteuid()) {
        return "permission denied: " + path + " belongs to group " + group + "; add yourself with 'sudo usermod -aG " +
               group + " $USER', then log in again";
    }
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777U));
    return "permission denied: " + path + " is owned by user " + NameOfUser(info.st_uid) + " and group " + group +
           " with mode " + mode +
           ", and no group you should join would let you in; a udev rule that gives it a group such as dialout "
           "and mode 0660 would; then add yourself to that group and log in again";
}

std::string Busy(const std::string &path) { return "busy: " + path + " is held by another process"; }

std::string NotSerial(const std::string &path, const char *what)
{
    return std::string("not a serial device: ") + path + " is " + what;
}

}  // namespace

std::string DescribeOpenFailure(const std::string &port)
{
    if (port.empty()) {
        return "no port name given";
    }
    const std::string path = port[0] == '/' ? port : "/dev/" + port;
    if (path.size() > kMaxPathLength) {
        return "name too long: a port's path has at most " + std::to_string(kMaxPathLength) + " characters";
    }
    if (port[0] != '/' && port.find("..") != std::string::npos) {
        return "not a port name: a name below /dev/ may not climb out with '..'; give a path that starts with '/'";
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        switch (errno) {
        case ENAMETOOLONG:
            return "name too long: a part of the path is longer than the system allows (255 characters)";
        case ENOENT:
        case ENOTDIR:
            return NoSuchDevice(path);
        case EACCES:
            return "permission denied: a folder on the way to " + path + " cannot be searched";
        default:
            return path + ": " + std::strerror(errno);
        }
    }
    if (S_ISDIR(info.st_mode)) {
        return NotSerial(path, "a folder");
    }
    if (S_ISREG(info.st_mode)) {
        return NotSerial(path, "a regular file");
    }
    if (S_ISBLK(info.st_mode)) {
        return NotSerial(path, "a disk");
    }
    if (!S_ISCHR(info.st_mode)) {
        return NotSerial(path, "not a device");
    }
    if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        return PermissionDenied(path, info);
    }
    const int descriptor = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        switch (errno) {
        case EBUSY:
            return Busy(path);
        case EACCES:
        case EPERM:
            return PermissionDenied(path, info);
        case ENXIO:
        case ENODEV:
            return "no such device: " + path + " has no device behind it (unplugged?)";
        default:
            return path + ": " + std::strerror(errno);
        }
    }
    std::string cause;
    if (isatty(descriptor) != 1) {
        cause = NotSerial(path, "a device but not a terminal");
    } else if ((cause = ForeignTerminal(descriptor, path)).empty()) {
        cause = flock(descriptor, LOCK_EX | LOCK_NB) != 0
                    ? Busy(path)
                    : "the port opens now: it may have been busy for a moment; try again";
    }
    close(descriptor);
    return cause;
}

}  // namespace gpio_tools
