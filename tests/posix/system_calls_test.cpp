// The POSIX services over scripted system calls: the flags, settings and
// requests that reach the system, which a pseudo-terminal cannot show (it
// has no modem lines and no driver latency, and never fills its queue).
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "fake_checks.h"
#include "gpiolink.h"
#include "link/system_calls_posix.h"
#include "link/serial_services.h"
#include "test_helpers.h"

namespace gpiolink {
namespace {

constexpr int kDescriptor = 7;

struct Ioctl {
    unsigned long request;
    int value;  // *argument for requests that take an int
};

// What the scripted calls saw, and what they answer.
struct Script {
    std::vector<std::string> openedPaths;
    int openFlags = 0;
    int isatty = 1;
    int flockResult = 0;
    std::vector<int> flockOperations;
    std::vector<int> closed;
    std::vector<Ioctl> ioctls;
    // By default the port is no one's controlling terminal and no pty master.
    std::vector<unsigned long> refusedIoctls{TIOCGSID, TIOCGPTN};
    int serialFlags = 0;          // what TIOCGSERIAL reports
    serial_struct serialSet{};    // what TIOCSSERIAL was given
    termios setSettings{};
    int setWhen = -1;
    std::deque<ssize_t> writeResults;  // -1 fails with writeErrno
    int writeErrno = EAGAIN;
    int writes = 0;
    short pollEvents = 0;              // revents of every poll; 0 times out
    std::vector<int> pollTimeouts;
    std::uint64_t nowMs = 1000;        // the clock; sleeps advance it
    std::vector<long> slept;
    dev_t device = makedev(188, 0);    // what the port is: ttyUSB0
    std::string procRoot;              // stands for /proc; none by default

    bool Saw(unsigned long request) const
    {
        for (const Ioctl &call : ioctls) {
            if (call.request == request) {
                return true;
            }
        }
        return false;
    }
    int ValueOf(unsigned long request) const
    {
        for (const Ioctl &call : ioctls) {
            if (call.request == request) {
                return call.value;
            }
        }
        return -1;
    }
};

Script *g_script = nullptr;

int Open(const char *path, int flags)
{
    if (std::strncmp(path, "/proc", 5) == 0) {
        if (g_script->procRoot.empty()) {
            errno = ENOENT;
            return -1;
        }
        return posix::open((g_script->procRoot + (path + 5)).c_str(), flags);
    }
    g_script->openedPaths.emplace_back(path);
    g_script->openFlags = flags;
    return kDescriptor;
}
// The kernel's console list comes from procRoot too.
int Openat(int directory, const char *path, int flags)
{
    if (std::strcmp(path, "/proc/consoles") == 0) {
        const std::string consoles = g_script->procRoot.empty() ? "/nonexistent" : g_script->procRoot + "/consoles";
        return posix::openat(directory, consoles.c_str(), flags);
    }
    return posix::openat(directory, path, flags);
}
int Close(int descriptor)
{
    if (descriptor != kDescriptor) {
        return posix::close(descriptor);  // a folder of procRoot
    }
    g_script->closed.push_back(descriptor);
    return 0;
}
int Fstatat(int descriptor, const char *path, struct stat *info, int flags)
{
    if (descriptor != kDescriptor) {
        return posix::fstatat(descriptor, path, info, flags);
    }
    std::memset(info, 0, sizeof(*info));
    info->st_mode = S_IFCHR | 0660;
    info->st_rdev = g_script->device;
    return 0;
}
int Isatty(int) { return g_script->isatty; }
int Flock(int, int operation)
{
    g_script->flockOperations.push_back(operation);
    return g_script->flockResult;
}
int IoctlCall(int, unsigned long request, void *argument)
{
    const bool takesInt = request == TIOCMBIS || request == TIOCMBIC || request == FIONREAD;
    g_script->ioctls.push_back({request, takesInt ? *static_cast<int *>(argument) : 0});
    for (unsigned long refused : g_script->refusedIoctls) {
        if (refused == request) {
            errno = ENOTTY;
            return -1;
        }
    }
    if (request == TIOCGSERIAL) {
        auto *info = static_cast<serial_struct *>(argument);
        std::memset(info, 0, sizeof(*info));
        info->type = PORT_16550A;
        info->flags = g_script->serialFlags;
        info->baud_base = 115200;
    } else if (request == TIOCSSERIAL) {
        g_script->serialSet = *static_cast<const serial_struct *>(argument);
    }
    return 0;
}
// Hands back settings with every flag set, as a port left in some other
// program's mode might have them.
int Tcgetattr(int, termios *settings)
{
    std::memset(settings, 0xFF, sizeof(*settings));
    return 0;
}
int Tcsetattr(int, int when, const termios *settings)
{
    g_script->setWhen = when;
    g_script->setSettings = *settings;
    return 0;
}
ssize_t Write(int, const void *, std::size_t count)
{
    ++g_script->writes;
    if (g_script->writeResults.empty()) {
        return static_cast<ssize_t>(count);
    }
    const ssize_t result = g_script->writeResults.front();
    g_script->writeResults.pop_front();
    if (result < 0) {
        errno = g_script->writeErrno;
    }
    return result;
}
int Poll(pollfd *entries, nfds_t, int timeoutMs)
{
    g_script->pollTimeouts.push_back(timeoutMs);
    entries[0].revents = g_script->pollEvents;
    if (entries[0].revents == 0) {
        g_script->nowMs += static_cast<std::uint64_t>(timeoutMs);
        return 0;
    }
    return 1;
}
int ClockGettime(clockid_t, timespec *now)
{
    now->tv_sec = static_cast<time_t>(g_script->nowMs / 1000);
    now->tv_nsec = static_cast<long>(g_script->nowMs % 1000) * 1000000L;
    return 0;
}
int Nanosleep(const timespec *request, timespec *)
{
    const long ms = static_cast<long>(request->tv_sec) * 1000 + request->tv_nsec / 1000000L;
    g_script->slept.push_back(ms);
    g_script->nowMs += static_cast<std::uint64_t>(ms);
    return 0;
}

class ScriptedSystemCalls : public ::testing::Test {
protected:
    ScriptedSystemCalls()
    {
        g_script = &script_;
        ReplaceSystemCall(&SystemCalls::open, Open);
        ReplaceSystemCall(&SystemCalls::openat, Openat);
        ReplaceSystemCall(&SystemCalls::close, Close);
        ReplaceSystemCall(&SystemCalls::fstatat, Fstatat);
        ReplaceSystemCall(&SystemCalls::isatty, Isatty);
        ReplaceSystemCall(&SystemCalls::flock, Flock);
        ReplaceSystemCall(&SystemCalls::ioctl, IoctlCall);
        ReplaceSystemCall(&SystemCalls::tcgetattr, Tcgetattr);
        ReplaceSystemCall(&SystemCalls::tcsetattr, Tcsetattr);
        ReplaceSystemCall(&SystemCalls::write, Write);
        ReplaceSystemCall(&SystemCalls::poll, Poll);
        ReplaceSystemCall(&SystemCalls::clock_gettime, ClockGettime);
        ReplaceSystemCall(&SystemCalls::nanosleep, Nanosleep);
    }
    ~ScriptedSystemCalls() override
    {
        RestoreSystemCalls();
        g_script = nullptr;
    }

    PortHandle Opened()
    {
        const PortHandle port = os_.openPort("/dev/ttyUSB0");
        EXPECT_NE(InvalidPort(), port);
        return port;
    }

    const SerialServices &os_ = DefaultServices();
    Script script_;
};

// A fake is taken only with the exact type of its call: a parameter of
// another width or constness, another call's function, or a lambda of
// another signature does not compile.
TEST(SystemCallTable, AFakeOfAnotherTypeThanItsCallDoesNotCompile)
{
    using ReadWithIntCount = ssize_t (*)(int, void *, int);
    const auto readLambda = [](int, void *, std::size_t) -> ssize_t { return 0; };
    const auto readIntoChars = [](int, char *, std::size_t) -> ssize_t { return 0; };
    static_assert(testing::TakesFake<&SystemCalls::read, decltype(&posix::read)>::value);
    static_assert(testing::TakesFake<&SystemCalls::read, decltype(readLambda)>::value);
    static_assert(testing::TakesFake<&SystemCalls::read, std::nullptr_t>::value);
    static_assert(!testing::TakesFake<&SystemCalls::read, ReadWithIntCount>::value);
    static_assert(!testing::TakesFake<&SystemCalls::read, decltype(&posix::write)>::value);
    static_assert(!testing::TakesFake<&SystemCalls::read, decltype(readIntoChars)>::value);
    static_assert(!testing::TakesFake<&SystemCalls::tcsetattr, decltype(&posix::tcgetattr)>::value);
    static_assert(!testing::TakesFake<&SystemCalls::open, decltype(&posix::openat)>::value);
}

// A fake is what SYSTEM_CALL calls until it is replaced by null, which
// puts the system's own call back, or until every call is restored.
TEST(SystemCallTable, AFakeIsInForceUntilReplacedByNullOrRestored)
{
    ReplaceSystemCall(&SystemCalls::getpid, +[]() -> pid_t { return -42; });
    ReplaceSystemCall(&SystemCalls::getsid, +[](pid_t) -> pid_t { return -43; });
    EXPECT_EQ(-42, SYSTEM_CALL(getpid)());
    EXPECT_EQ(-43, SYSTEM_CALL(getsid)(0));
    ReplaceSystemCall(&SystemCalls::getpid, nullptr);
    EXPECT_EQ(::getpid(), SYSTEM_CALL(getpid)());
    EXPECT_EQ(-43, SYSTEM_CALL(getsid)(0));  // the other fake stays
    RestoreSystemCalls();
    EXPECT_EQ(::getsid(0), SYSTEM_CALL(getsid)(0));
    EXPECT_EQ(SystemCallsOfSystem().read, SystemCallsInForce().read);
}

TEST_F(ScriptedSystemCalls, OpenIsExclusiveNonBlockingAndNeverTakesTheTerminal)
{
    const PortHandle port = Opened();
    const int flags = script_.openFlags;
    EXPECT_EQ(O_RDWR, flags & O_ACCMODE);
    EXPECT_NE(0, flags & O_NOCTTY) << "the port could become the controlling terminal";
    EXPECT_NE(0, flags & O_CLOEXEC) << "child processes would inherit the port";
    EXPECT_NE(0, flags & O_NONBLOCK);
    EXPECT_EQ(std::vector<int>{LOCK_EX | LOCK_NB}, script_.flockOperations);
    EXPECT_TRUE(script_.Saw(TIOCEXCL));
    EXPECT_TRUE(script_.closed.empty());

    os_.closePort(port);
    EXPECT_TRUE(script_.Saw(TIOCNXCL));
    EXPECT_EQ(std::vector<int>{kDescriptor}, script_.closed);
}

TEST_F(ScriptedSystemCalls, APortLockedElsewhereOrNotATerminalIsClosedUnused)
{
    script_.flockResult = -1;
    EXPECT_EQ(InvalidPort(), os_.openPort("/dev/ttyUSB0"));
    script_.flockResult = 0;
    script_.isatty = 0;
    EXPECT_EQ(InvalidPort(), os_.openPort("/tmp/file"));
    EXPECT_EQ((std::vector<int>{kDescriptor, kDescriptor}), script_.closed);
    EXPECT_FALSE(script_.Saw(TIOCEXCL));
}

// The consoles are refused by their device numbers, the kernel's consoles
// as /proc/consoles shows them, and any terminal that a process shows in
// /proc as its controlling terminal (the fields count from the last ')',
// whatever the command's name holds; a minor past 255 keeps its high bits
// in tty_nr).
TEST_F(ScriptedSystemCalls, ConsolesAndAnySessionsTerminalAreRefused)
{
    testing::ScratchFolder proc;
    script_.procRoot = proc.Path();
    const auto process = [&](const char *pid, const std::string &stat) {
        ASSERT_EQ(0, mkdir((proc.Path() + "/" + pid).c_str(), 0755));
        std::ofstream(proc.Path() + "/" + pid + "/stat") << stat;
    };
    // ttyS1 (4, 65) is the terminal of process 42; tty_nr 34816 is pts/0.
    process("42", "42 (getty) S 1 42 42 1089 42 4194560 0 0\n");
    process("77", "77 (a) b) S c) R 1 77 77 34816 77 0\n");
    process("78", "78 (sh) S 1 78 78 1083436 78 0\n");  // pts/300
    std::ofstream(proc.Path() + "/consoles") << "ttyAMA0              -W- (EC p a)  204:64\n";
    process("self", "1 (x) S 1 1 1 1089 1 0\n");  // not a process number
    mkdir((proc.Path() + "/sys").c_str(), 0755);
    const struct {
        dev_t device;
        bool refused;
    } cases[] = {
        {makedev(5, 1), true},    // /dev/console
        {makedev(5, 0), true},    // /dev/tty
        {makedev(4, 0), true},    // tty0
        {makedev(4, 63), true},   // tty63
        {makedev(4, 65), true},   // ttyS1, process 42's terminal
        {makedev(136, 0), true},  // pts/0, process 77's terminal
        {makedev(136, 300), true},  // pts/300, process 78's terminal
        {makedev(204, 64), true},   // ttyAMA0, the kernel's console
        {makedev(136, 44), false},  // pts/44
        {makedev(4, 64), false},  // ttyS0
        {makedev(136, 1), false}, // pts/1
        {makedev(188, 0), false}, // ttyUSB0
    };
    for (const auto &[device, refused] : cases) {
        script_.device = device;
        const PortHandle port = os_.openPort("/dev/ttyX");
        EXPECT_EQ(refused, port == InvalidPort()) << major(device) << ":" << minor(device);
        os_.closePort(port);
    }
}

TEST_F(ScriptedSystemCalls, TheLineIsRaw8N1At38400WithoutFlowControl)
{
    os_.configureLine(Opened(), ModemLines::kDtrOnRtsOff);
    const termios &set = script_.setSettings;
    EXPECT_EQ(TCSANOW, script_.setWhen);
    EXPECT_EQ(static_cast<tcflag_t>(CS8), set.c_cflag & CSIZE);
    EXPECT_EQ(0U, set.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(static_cast<tcflag_t>(CLOCAL | CREAD), set.c_cflag & (CLOCAL | CREAD));
    EXPECT_EQ(0U, set.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT));
    EXPECT_EQ(0U, set.c_oflag & OPOST);
    EXPECT_EQ(0U, set.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN));
    EXPECT_EQ(0, set.c_cc[VMIN]);
    EXPECT_EQ(0, set.c_cc[VTIME]);
    EXPECT_EQ(static_cast<speed_t>(B38400), cfgetispeed(&set));
    EXPECT_EQ(static_cast<speed_t>(B38400), cfgetospeed(&set));
}

TEST_F(ScriptedSystemCalls, TheOpenInterfaceRaisesDtrAndDropsRtsAndTheProbeTouchesNeither)
{
    os_.configureLine(Opened(), ModemLines::kDtrOnRtsOff);
    EXPECT_EQ(TIOCM_DTR, script_.ValueOf(TIOCMBIS));
    EXPECT_EQ(TIOCM_RTS, script_.ValueOf(TIOCMBIC));

    script_.ioctls.clear();
    os_.configureLine(Opened(), ModemLines::kUntouched);
    for (const Ioctl &call : script_.ioctls) {
        EXPECT_NE(TIOCMBIS, call.request);
        EXPECT_NE(TIOCMBIC, call.request);
        EXPECT_NE(TIOCMSET, call.request);
        EXPECT_NE(TIOCSSERIAL, call.request) << "the probe must leave the driver's latency alone";
    }
}

TEST_F(ScriptedSystemCalls, TheOpenInterfaceAsksForLowLatencyAndKeepsTheOtherSettings)
{
    script_.serialFlags = ASYNC_SKIP_TEST;
    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("ttyUSB0", &handle));
    ASSERT_TRUE(script_.Saw(TIOCSSERIAL));
    EXPECT_EQ(static_cast<int>(ASYNC_LOW_LATENCY | ASYNC_SKIP_TEST), script_.serialSet.flags);
    EXPECT_EQ(PORT_16550A, script_.serialSet.type);
    EXPECT_EQ(115200, script_.serialSet.baud_base);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
}

TEST_F(ScriptedSystemCalls, ADriverThatRefusesLowLatencyLeavesTheOpenWorking)
{
    for (const unsigned long refused : {TIOCGSERIAL, TIOCSSERIAL}) {
        script_ = Script{};
        script_.refusedIoctls.push_back(refused);
        HANDLE handle = nullptr;
        ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("ttyUSB0", &handle));
        EXPECT_EQ(refused == TIOCSSERIAL, script_.Saw(TIOCSSERIAL));
        EXPECT_EQ(TIOCM_DTR, script_.ValueOf(TIOCMBIS));
        EXPECT_EQ(TIOCM_RTS, script_.ValueOf(TIOCMBIC));
        EXPECT_EQ(static_cast<speed_t>(B38400), cfgetospeed(&script_.setSettings));
        EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
    }
}

TEST_F(ScriptedSystemCalls, AWriteToAFullQueueWaitsOneSecondAtMostThenGivesUp)
{
    const PortHandle port = Opened();
    const std::uint8_t bytes[8] = {};
    // A partial write is reported as such; an interrupted one is retried.
    script_.writeResults = {-1, 3};
    script_.writeErrno = EINTR;
    EXPECT_EQ(3U, os_.writeBytes(port, bytes, sizeof(bytes)));
    EXPECT_TRUE(script_.pollTimeouts.empty());

    // The queue stays full: one bounded wait, then 0.
    script_.writeResults = {-1, -1};
    script_.writeErrno = EAGAIN;
    script_.writes = 0;
    EXPECT_EQ(0U, os_.writeBytes(port, bytes, sizeof(bytes)));
    EXPECT_EQ(std::vector<int>{1000}, script_.pollTimeouts);
    EXPECT_EQ(1, script_.writes);

    // It drains: the write is tried again.
    script_.writeResults = {-1, 8};
    script_.pollEvents = POLLOUT;
    EXPECT_EQ(8U, os_.writeBytes(port, bytes, sizeof(bytes)));

    // A line that hangs up while the queue is full takes nothing.
    script_.writeResults = {-1, 8};
    script_.pollEvents = POLLOUT | POLLHUP;
    EXPECT_EQ(0U, os_.writeBytes(port, bytes, sizeof(bytes)));

    // Any other error takes nothing, without a wait.
    script_.pollTimeouts.clear();
    script_.writeResults = {-1};
    script_.writeErrno = EIO;
    EXPECT_EQ(0U, os_.writeBytes(port, bytes, sizeof(bytes)));
    EXPECT_TRUE(script_.pollTimeouts.empty());
}

TEST_F(ScriptedSystemCalls, TheIdleWaitReturnsForDataButSleepsOutAHungUpLine)
{
    const PortHandle port = Opened();
    script_.pollEvents = POLLIN;
    os_.waitForInput(port, 10);
    EXPECT_EQ(std::vector<int>{10}, script_.pollTimeouts);
    EXPECT_TRUE(script_.slept.empty());

    // A hung-up line is ready at once and forever: the wait must still last
    // its interval, or the receiver would spin until its time-out.
    for (const short events : {short(POLLHUP), short(POLLIN | POLLHUP), short(POLLERR), short(POLLNVAL)}) {
        script_.slept.clear();
        script_.pollEvents = events;
        os_.waitForInput(port, 10);
        EXPECT_EQ(std::vector<long>{10}, script_.slept) << "revents " << events;
    }
}

}  // namespace
}  // namespace gpiolink
