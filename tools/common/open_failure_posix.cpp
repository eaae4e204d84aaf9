// The causes of a failed open on Linux. The library opens a name that
// starts with '/' as it stands and any other below /dev/, with paths of up
// to 4095 characters; it takes the port exclusively (flock and TIOCEXCL)
// and refuses anything that is not a terminal, and the terminals that
// belong to someone: the consoles and any session's controlling terminal.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "link/port_name_order.h"
#include "open_failure.h"

namespace gpio_tools {
namespace {

constexpr std::size_t kMaxPathLength = 4095;
constexpr std::size_t kMaxDiscoveredName = 19;
const char *const kTtyClass = "/sys/class/tty";

// Device majors of the console drivers.
constexpr unsigned kVirtualConsoleMajor = 4;  // tty0-tty63; ttyS* are minors 64 and up
constexpr unsigned kAlternateTtyMajor = 5;    // 0: /dev/tty, 1: /dev/console
constexpr unsigned kVirtualConsoles = 64;

// The whole of a small file (the kernel's), or "" when it cannot be read.
std::string FileText(const std::string &path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// /dev/console, /dev/tty and the virtual consoles /dev/tty0 to /dev/tty63.
bool IsConsole(dev_t device)
{
    return (major(device) == kVirtualConsoleMajor && minor(device) < kVirtualConsoles) ||
           (major(device) == kAlternateTtyMajor && minor(device) <= 1);
}

// The process that has `device` as its controlling terminal, as "process
// PID, COMMAND": the session's leader when /proc shows it, else the first
// such process. "" when /proc shows none. A process's /proc/PID/stat reads
// "PID (COMMAND) STATE PPID PGRP SESSION TTY_NR ..."; the command may hold
// spaces and parentheses, so the fields are counted from the last ')'.
std::string TerminalHolder(dev_t device)
{
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return "";
    }
    std::string holder;
    while (const dirent *entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string line = FileText("/proc/" + pid + "/stat");
        const std::size_t open = line.find(" (");
        const std::size_t close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) {
            continue;
        }
        std::istringstream fields(line.substr(close + 1));
        std::string state;
        long long parent = 0;
        long long group = 0;
        long long session = 0;
        long long terminal = 0;
        if (!(fields >> state >> parent >> group >> session >> terminal) || terminal <= 0) {
            continue;
        }
        // The kernel's encoding: minor bits 0-7 and 20-31, major bits 8-19.
        const auto number = static_cast<unsigned long long>(terminal);
        if (makedev((number >> 8) & 0xFFFU, (number & 0xFFU) | ((number >> 12) & 0xFFF00U)) != device) {
            continue;
        }
        const bool leader = std::to_string(session) == pid;
        if (holder.empty() || leader) {
            holder = "process " + pid + ", " + line.substr(open + 2, close - open - 2);
        }
        if (leader) {
            break;
        }
    }
    closedir(proc);
    return holder;
}

// The terminals that the library refuses although they are terminals: the
// master side of a pseudo-terminal, the caller's own terminal, the consoles
// and any other session's controlling terminal. Returns the cause, or ""
// for any other terminal.
std::string ForeignTerminal(int descriptor, const std::string &path, dev_t device)
{
    unsigned int ptyNumber = 0;
    if (ioctl(descriptor, TIOCGPTN, &ptyNumber) == 0) {
        return "not a serial device: " + path + " is the master side of a pseudo-terminal; open its pts/N side";
    }
    pid_t session = 0;
    if (ioctl(descriptor, TIOCGSID, &session) == 0 && session == getsid(0)) {
        return "not a serial device: " + path + " is the terminal of this session, not a line to a controller";
    }
    if (IsConsole(device)) {
        return "not a serial device: " + path +
               " is a console of the system (/dev/console or a virtual console), not a line to a controller";
    }
    const std::string holder = TerminalHolder(device);
    if (!holder.empty()) {
        return "not a serial device: " + path + " is the controlling terminal of another session (" + holder +
               "), not a line to a controller";
    }
    return "";
}

// The names that start the lines of /proc/consoles, which read
// "ttyS0                -W- (EC p a)    4:64".
std::set<std::string> Consoles()
{
    std::set<std::string> names;
    std::istringstream lines(FileText("/proc/consoles"));
    for (std::string line; std::getline(lines, line);) {
        names.insert(line.substr(0, line.find_first_of(" \t")));
    }
    return names;
}

}  // namespace

// The ports discovery would probe: ttys with a device behind them, less the
// ttyS ports that sysfs reports with no UART and the kernel's consoles, in
// the library's limits.
std::vector<std::string> DiscoveryPorts()
{
    std::vector<std::string> names;
    const std::set<std::string> consoles = Consoles();
    DIR *folder = opendir(kTtyClass);
    if (folder == nullptr) {
        return names;
    }
    while (const dirent *entry = readdir(folder)) {
        const std::string name = entry->d_name;
        const std::string base = std::string(kTtyClass) + "/" + name;
        struct stat info {};
        if (name[0] == '.' || name.size() > kMaxDiscoveredName || consoles.count(name) != 0 ||
            stat((base + "/device").c_str(), &info) != 0) {
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
    } else if ((cause = ForeignTerminal(descriptor, path, info.st_rdev)).empty()) {
        cause = flock(descriptor, LOCK_EX | LOCK_NB) != 0
                    ? Busy(path)
                    : "the port opens now: it may have been busy for a moment; try again";
    }
    close(descriptor);
    return cause;
}

}  // namespace gpio_tools
