// Why an open fails, over faked system calls: each cause of the shared
// table (tests/open_failure/causes.txt) from the stat, open, errno and
// terminal the system is made to show, in the table's words and with its
// code; and the text cut to the caller's buffer.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>

#include "fixed_port_list.h"
#include "gpiolink.h"
#include "link/system_calls_posix.h"
#include "test_helpers.h"

namespace gpiolink {
namespace {

constexpr int kDescriptor = 9;

// What the faked system shows of the port.
struct Port {
    int statError = 0;  // errno of stat, 0: it exists
    mode_t mode = S_IFCHR | 0660;
    dev_t device = makedev(188, 0);  // ttyUSB0
    uid_t owner = 0;
    gid_t group = 20;  // dialout
    int openError = 0;
    int isatty = 1;
    bool ptyMaster = false;
    pid_t session = 0;  // 0: no session's terminal
    int flock = 0;
    std::string proc;  // a folder standing for /proc; none when empty
};
Port *g_port = nullptr;

int Fstatat(int, const char *, struct stat *info, int)
{
    if (g_port->statError != 0) {
        errno = g_port->statError;
        return -1;
    }
    *info = {};
    info->st_mode = g_port->mode;
    info->st_rdev = g_port->device;
    info->st_uid = g_port->owner;
    info->st_gid = g_port->group;
    return 0;
}
// /proc and its files come from the port's folder, or are absent.
std::string InProc(const char *path) { return g_port->proc.empty() ? "/nonexistent" : g_port->proc + (path + 5); }
int Open(const char *path, int flags)
{
    if (std::strncmp(path, "/proc", 5) == 0) {
        return posix::open(InProc(path).c_str(), flags);
    }
    errno = g_port->openError;
    return errno != 0 ? -1 : kDescriptor;
}
int Openat(int directory, const char *path, int flags)
{
    return posix::openat(directory, std::strncmp(path, "/proc", 5) == 0 ? InProc(path).c_str() : path, flags);
}
int Close(int descriptor) { return descriptor == kDescriptor ? 0 : posix::close(descriptor); }
int Ioctl(int, unsigned long request, void *argument)
{
    if ((request == TIOCGPTN && g_port->ptyMaster) || (request == TIOCGSID && g_port->session != 0)) {
        *static_cast<pid_t *>(argument) = g_port->session;
        return 0;
    }
    errno = ENOTTY;
    return -1;
}
int GetGroup(gid_t id, group *entry, char *, std::size_t, group **found)
{
    static char root[] = "root", dialout[] = "dialout";
    entry->gr_name = id == 0 ? root : dialout;
    *found = id == 0 || id == 20 ? entry : nullptr;
    return 0;
}
int GetUser(uid_t id, passwd *entry, char *, std::size_t, passwd **found)
{
    static char root[] = "root";
    entry->pw_name = root;
    *found = id == 0 ? entry : nullptr;
    return 0;
}

// The shared table's line for `cause` with `path` in place, as a regular
// expression that must match from the text's start.
std::regex Expected(const std::string &cause, const std::string &path)
{
    std::ifstream table(GPIOLINK_CAUSES);
    for (std::string line; std::getline(table, line);) {
        if (line.compare(0, cause.size() + 1, cause + "\t") == 0) {
            std::string pattern = line.substr(cause.size() + 1);
            const std::string escaped = std::regex_replace(path, std::regex(R"([\]\[\\.*^$+?(){}|])"), R"(\$&)");
            const std::size_t at = pattern.find("{path}");
            if (at != std::string::npos) {
                pattern.replace(at, 6, escaped);
            }
            return std::regex("^(" + pattern + ")", std::regex::extended);
        }
    }
    ADD_FAILURE() << "no cause " << cause;
    return std::regex("^$");
}

class OpenFailure : public ::testing::Test {
protected:
    OpenFailure()
    {
        g_port = &port_;
        ReplaceSystemCall(&SystemCalls::fstatat, Fstatat);
        ReplaceSystemCall(&SystemCalls::open, Open);
        ReplaceSystemCall(&SystemCalls::openat, Openat);
        ReplaceSystemCall(&SystemCalls::close, Close);
        ReplaceSystemCall(&SystemCalls::ioctl, Ioctl);
        ReplaceSystemCall(&SystemCalls::isatty, +[](int) { return g_port->isatty; });
        ReplaceSystemCall(&SystemCalls::flock, +[](int, int) { return g_port->flock; });
        ReplaceSystemCall(&SystemCalls::getsid, +[](pid_t) -> pid_t { return 300; });
        ReplaceSystemCall(&SystemCalls::geteuid, +[]() -> uid_t { return 1000; });
        ReplaceSystemCall(&SystemCalls::getgrgid_r, GetGroup);
        ReplaceSystemCall(&SystemCalls::getpwuid_r, GetUser);
    }
    ~OpenFailure() override
    {
        RestoreSystemCalls();
        g_port = nullptr;
    }
    // Expects `cause` of the table and `code` for the port `name` (/dev/NAME).
    void Expect(const char *cause, int code, const std::string &name = "ttyUSB0")
    {
        char text[8192];
        EXPECT_EQ(code, gpiolink_describe_open_failure(name.c_str(), text, sizeof(text))) << cause;
        const std::string path = name[0] == '/' ? name : "/dev/" + name;
        EXPECT_TRUE(std::regex_search(text, Expected(cause, path))) << cause << ": " << text;
    }
    void WriteProc(const std::string &file, const std::string &text)
    {
        const std::string path = proc_.Path() + "/" + file;
        mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
        std::ofstream(path) << text;
        port_.proc = proc_.Path();
    }
    Port port_;
    testing::ScratchFolder proc_;
};

TEST_F(OpenFailure, NamesAndPathsThatCannotBeOpened)
{
    Expect("path-too-long", GPIOLINK_OPEN_FAILURE_NAME, "/" + std::string(4100, 'a'));
    port_.statError = ENAMETOOLONG;
    Expect("part-too-long", GPIOLINK_OPEN_FAILURE_NAME);
    port_.statError = ENOENT;
    {
        testing::FixedPortList ports({"ttyS2", "ttyS10", "tty" + std::string(20, 'X')});
        Expect("no-such-device", GPIOLINK_OPEN_FAILURE_NO_SUCH_DEVICE);
        char text[256];
        gpiolink_describe_open_failure("ttyUSB0", text, sizeof(text));
        EXPECT_STREQ("no such device: /dev/ttyUSB0 does not exist; the ports discovery would try: ttyS2 ttyS10", text)
            << "a name too long for discovery is left out";
        ports.Set({});
        Expect("no-such-device", GPIOLINK_OPEN_FAILURE_NO_SUCH_DEVICE);
    }
}

TEST_F(OpenFailure, WhatIsNoSerialLine)
{
    port_.mode = S_IFREG | 0644;
    Expect("regular-file", GPIOLINK_OPEN_FAILURE_NOT_SERIAL, "/tmp/file");
    port_.mode = S_IFDIR | 0755;
    Expect("folder", GPIOLINK_OPEN_FAILURE_NOT_SERIAL, "/tmp");
    port_.mode = S_IFCHR | 0666;
    port_.isatty = 0;
    Expect("not-a-terminal", GPIOLINK_OPEN_FAILURE_NOT_SERIAL, "null");
    port_.isatty = 1;
    port_.ptyMaster = true;
    Expect("pty-master", GPIOLINK_OPEN_FAILURE_NOT_SERIAL, "ptmx");
}

// The terminals that belong to someone, as the open refuses them.
TEST_F(OpenFailure, TerminalsThatBelongToSomeone)
{
    port_.session = 300;  // getsid(0)
    Expect("own-terminal", GPIOLINK_OPEN_FAILURE_SESSION, "tty");
    port_.session = 0;
    port_.device = makedev(5, 1);
    Expect("console", GPIOLINK_OPEN_FAILURE_CONSOLE, "console");
    // The kernel's console: a VM's ttyS0, named by its device number.
    WriteProc("consoles", "tty0                 -WU (E  p  )    4:7\nttyS0                -W- (EC p a)    4:64\n");
    port_.device = makedev(4, 64);
    Expect("kernel-console", GPIOLINK_OPEN_FAILURE_CONSOLE, "ttyS0");
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("ttyS0", &handle)) << "the kernel's console was opened";
    // pts/300, whose tty_nr keeps the minor's high bits apart (1083436):
    // the leader of the session that holds it is named.
    WriteProc("12/stat", "12 (cat) S 40 40 40 1083436 40 0\n");
    WriteProc("40/stat", "40 (a) b) S 1 40 40 1083436 40 0\n");
    WriteProc("41/stat", "41 (bash) S 1 41 41 34860 41 0\n");  // pts/44
    port_.device = makedev(136, 300);
    Expect("session-terminal", GPIOLINK_OPEN_FAILURE_SESSION, "pts/300");
    char text[256];
    gpiolink_describe_open_failure("pts/300", text, sizeof(text));
    EXPECT_NE(nullptr, std::strstr(text, "(process 40, a) b), not a line")) << text;
    port_.device = makedev(136, 44);
    gpiolink_describe_open_failure("pts/44", text, sizeof(text));
    EXPECT_NE(nullptr, std::strstr(text, "(process 41, bash)")) << text;
}

TEST_F(OpenFailure, BusyPermissionOrOpensNow)
{
    port_.openError = EBUSY;
    Expect("busy", GPIOLINK_OPEN_FAILURE_BUSY);
    port_.openError = EACCES;
    Expect("permission-denied", GPIOLINK_OPEN_FAILURE_PERMISSION);
    port_.group = 0;
    Expect("permission-root", GPIOLINK_OPEN_FAILURE_PERMISSION);
    port_.group = 20;
    port_.mode = S_IFCHR | 0640;
    Expect("permission-no-group-to-join", GPIOLINK_OPEN_FAILURE_PERMISSION);
    port_.openError = 0;
    port_.flock = -1;
    Expect("busy", GPIOLINK_OPEN_FAILURE_BUSY);
    port_.flock = 0;
    char text[128];
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_NONE, gpiolink_describe_open_failure("ttyUSB0", text, sizeof(text)));
    EXPECT_STREQ("the port opens now: it may have been busy for a moment; try again", text);
}

// The text is cut to the buffer, terminator inside; nothing is written
// without room, and the cause is found all the same.
TEST_F(OpenFailure, TheTextIsCutToTheCallersBuffer)
{
    port_.openError = EBUSY;
    char text[8];
    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_BUSY, gpiolink_describe_open_failure("ttyUSB0", text, 5));
    EXPECT_EQ(std::string("busy\0###", 8), std::string(text, sizeof(text)));
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_BUSY, gpiolink_describe_open_failure("ttyUSB0", text, 0));
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_BUSY, gpiolink_describe_open_failure("ttyUSB0", text, -1));
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_BUSY, gpiolink_describe_open_failure("ttyUSB0", nullptr, 100));
    EXPECT_EQ(std::string("busy\0###", 8), std::string(text, sizeof(text)));
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_NAME, gpiolink_describe_open_failure(nullptr, text, 1));
    EXPECT_EQ('\0', text[0]);
}

}  // namespace
}  // namespace gpiolink
