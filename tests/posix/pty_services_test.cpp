// The POSIX services against a real pseudo-terminal pair: the library opens
// the slave side as its serial port, and the test plays the far end on the
// master side.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_services.h"
#include "link/serial_services_posix.h"

namespace gpiolink {
namespace {

using Clock = std::chrono::steady_clock;

class PtyServices : public ::testing::Test {
protected:
    void SetUp() override
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(0, grantpt(master_));
        ASSERT_EQ(0, unlockpt(master_));
        path_ = ptsname(master_);
    }

    void TearDown() override
    {
        if (port_ != InvalidPort()) {
            os_.closePort(port_);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }

    PortHandle OpenConfigured()
    {
        port_ = os_.openPort(path_.c_str());
        if (port_ != InvalidPort()) {
            os_.configureLine(port_, ModemLines::kDtrOnRtsOff);
        }
        return port_;
    }

    // Reads exactly `count` bytes from the master within a generous bound.
    std::string ReadMaster(std::size_t count)
    {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (got.size() < count && Clock::now() < deadline) {
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, 100) > 0) {
                char buffer[64];
                const ssize_t n = read(master_, buffer, sizeof(buffer));
                if (n > 0) {
                    got.append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        return got;
    }

    // Waits until the port counts `count` bytes, within a generous bound.
    bool AwaitWaiting(std::uint32_t count)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (os_.countWaitingBytes(port_) < count) {
            if (Clock::now() > deadline) {
                return false;
            }
            os_.waitForInput(port_, 10);
        }
        return true;
    }

    const SerialServices &os_ = DefaultServices();
    int master_ = -1;
    std::string path_;
    PortHandle port_ = InvalidPort();
};

TEST_F(PtyServices, RawModePassesEveryByteUnchangedBothWays)
{
    ASSERT_NE(InvalidPort(), OpenConfigured());
    ASSERT_NE(nullptr, port_);
    const std::string tricky("\x0D\x0A\x11\x13\x7F\x00\x03\x04\x1A\xFF", 10);

    ASSERT_EQ(static_cast<ssize_t>(tricky.size()), write(master_, tricky.data(), tricky.size()));
    ASSERT_TRUE(AwaitWaiting(static_cast<std::uint32_t>(tricky.size())));
    std::string got;
    for (std::size_t i = 0; i < tricky.size(); ++i) {
        std::uint8_t byte = 0;
        ASSERT_TRUE(os_.readByte(port_, &byte));
        got.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(tricky, got);

    const auto *bytes = reinterpret_cast<const std::uint8_t *>(tricky.data());
    EXPECT_EQ(tricky.size(), os_.writeBytes(port_, bytes, static_cast<std::uint32_t>(tricky.size())));
    EXPECT_EQ(tricky, ReadMaster(tricky.size()));
}

TEST_F(PtyServices, APtyRefusesLowLatencyAndTheLineIsSetAllTheSame)
{
    serial_struct info{};
    ASSERT_NE(0, ioctl(master_, TIOCGSERIAL, &info)) << "this pty takes low latency: the refusal is not tested";
    ASSERT_NE(InvalidPort(), OpenConfigured());
    // Master and slave share one set of line settings.
    termios settings{};
    ASSERT_EQ(0, tcgetattr(master_, &settings));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), settings.c_cflag & CSIZE);
    EXPECT_EQ(0U, settings.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(static_cast<speed_t>(B38400), cfgetospeed(&settings));
    const std::uint8_t byte = 0x11;
    EXPECT_EQ(1U, os_.writeBytes(port_, &byte, 1));
    EXPECT_EQ("\x11", ReadMaster(1));
}

TEST_F(PtyServices, PurgeDiscardsWaitingBytes)
{
    ASSERT_NE(InvalidPort(), OpenConfigured());
    ASSERT_EQ(3, write(master_, "abc", 3));
    ASSERT_TRUE(AwaitWaiting(3));
    EXPECT_TRUE(os_.purgeReceiveQueue(port_));
    EXPECT_EQ(0U, os_.countWaitingBytes(port_));
}

TEST_F(PtyServices, ASecondOpenOfTheSamePortIsRefusedUntilTheFirstCloses)
{
    ASSERT_NE(InvalidPort(), OpenConfigured());
    EXPECT_EQ(InvalidPort(), os_.openPort(path_.c_str()));
    os_.closePort(port_);
    port_ = os_.openPort(path_.c_str());
    EXPECT_NE(InvalidPort(), port_);
}

TEST_F(PtyServices, RefusesAbsentPathsAndFilesThatAreNotTerminals)
{
    EXPECT_EQ(InvalidPort(), os_.openPort("/dev/gpiolink-no-such-port"));
    char file[] = "/tmp/gpiolink-not-a-port-XXXXXX";
    const int descriptor = mkstemp(file);
    ASSERT_GE(descriptor, 0);
    close(descriptor);
    EXPECT_EQ(InvalidPort(), os_.openPort(file));
    struct stat info {};
    ASSERT_EQ(0, stat(file, &info));
    EXPECT_EQ(0, info.st_size);
    unlink(file);
}

TEST_F(PtyServices, ClosingPutsBackTheTerminalsOwnSettings)
{
    termios before{};
    const int slave = open(path_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(0, tcgetattr(slave, &before));
    ASSERT_NE(0U, before.c_lflag & (ECHO | ICANON)) << "a new pty starts in canonical mode";
    ASSERT_NE(InvalidPort(), OpenConfigured());
    termios during{};
    ASSERT_EQ(0, tcgetattr(slave, &during));
    EXPECT_EQ(0U, during.c_lflag & (ECHO | ICANON | ISIG));
    os_.closePort(port_);
    port_ = InvalidPort();
    termios after{};
    ASSERT_EQ(0, tcgetattr(slave, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    close(slave);
}

// A pseudo-terminal pair of the test's own, with the slave side held open
// by the test to read and set its settings.
struct TestPty {
    TestPty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            path = ptsname(master);
            slave = open(path.c_str(), O_RDWR | O_NOCTTY);
        }
    }
    ~TestPty()
    {
        if (slave >= 0) {
            close(slave);
        }
        if (master >= 0) {
            close(master);
        }
    }
    TestPty(const TestPty &) = delete;
    TestPty &operator=(const TestPty &) = delete;

    // Gives the line a speed of its own, in canonical mode, as a terminal
    // left by some other program might be.
    bool SetSpeed(speed_t speed) const
    {
        termios settings{};
        return tcgetattr(slave, &settings) == 0 && cfsetispeed(&settings, speed) == 0 &&
               cfsetospeed(&settings, speed) == 0 && tcsetattr(slave, TCSANOW, &settings) == 0;
    }
    termios Settings() const
    {
        termios settings{};
        tcgetattr(slave, &settings);
        return settings;
    }

    int master = -1;
    int slave = -1;
    std::string path;
};

// Every close puts back what its own open found, however many ports were
// opened before: the place each port's settings are kept in is given back
// at its close. Each open here gets a new descriptor number, as in a
// process that holds other files open meanwhile.
TEST(PtyServicesSavedSettings, EveryCloseRestoresItsOwnPortsSettingsOpenAfterOpen)
{
    TestPty pty;
    ASSERT_GE(pty.slave, 0);
    const SerialServices &os = DefaultServices();
    const speed_t speeds[] = {B1200, B2400, B4800, B9600, B19200};
    std::vector<int> spacers;
    for (int round = 0; round < 20; ++round) {
        const speed_t speed = speeds[round % 5];
        ASSERT_TRUE(pty.SetSpeed(speed));
        const PortHandle port = os.openPort(pty.path.c_str());
        ASSERT_NE(InvalidPort(), port) << "round " << round;
        os.configureLine(port, ModemLines::kDtrOnRtsOff);
        const termios during = pty.Settings();
        ASSERT_EQ(static_cast<speed_t>(B38400), cfgetospeed(&during)) << "round " << round;
        os.closePort(port);
        const termios after = pty.Settings();
        EXPECT_EQ(speed, cfgetospeed(&after)) << "round " << round;
        EXPECT_NE(0U, after.c_lflag & ICANON) << "round " << round;
        spacers.push_back(dup(pty.master));  // the next open gets another number
    }
    for (const int spacer : spacers) {
        close(spacer);
    }
}

// A port whose descriptor was closed behind the library's back leaves its
// saved settings behind; the next port that gets the same descriptor number
// must have its own settings put back at its close, not the first port's.
TEST(PtyServicesSavedSettings, ADescriptorClosedBehindTheLibrarysBackLeavesNoSettingsForTheNextPort)
{
    TestPty first;
    TestPty second;
    ASSERT_GE(first.slave, 0);
    ASSERT_GE(second.slave, 0);
    ASSERT_TRUE(first.SetSpeed(B1200));
    ASSERT_TRUE(second.SetSpeed(B9600));
    const SerialServices &os = DefaultServices();

    const PortHandle lost = os.openPort(first.path.c_str());
    ASSERT_NE(InvalidPort(), lost);
    os.configureLine(lost, ModemLines::kDtrOnRtsOff);
    const int descriptor = PortDescriptor(lost);
    ASSERT_EQ(0, close(descriptor));  // the application's mistake, not the library's

    const PortHandle port = os.openPort(second.path.c_str());
    ASSERT_NE(InvalidPort(), port);
    ASSERT_EQ(descriptor, PortDescriptor(port)) << "the scenario needs the same number again";
    os.configureLine(port, ModemLines::kDtrOnRtsOff);
    os.closePort(port);
    const termios after = second.Settings();
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&after)) << "the first port's settings were put on the second";
    EXPECT_NE(0U, after.c_lflag & ICANON);
}

TEST_F(PtyServices, AnySessionsTerminalAndPtyMastersAreRefused)
{
    EXPECT_EQ(InvalidPort(), os_.openPort("/dev/ptmx"));
    // A child in a session of its own, with the pty as its controlling
    // terminal: neither /dev/tty nor the pty's name opens there, and the
    // terminal's settings stay as they were. It then holds the terminal
    // until told to end.
    int ready[2];
    int done[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(done));
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        if (setsid() < 0) {
            _exit(2);
        }
        const int terminal = open(path_.c_str(), O_RDWR);  // without O_NOCTTY: becomes the terminal
        termios before{};
        if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0 || tcgetattr(terminal, &before) != 0) {
            _exit(3);
        }
        const bool refused = os_.openPort("/dev/tty") == InvalidPort() && os_.openPort(path_.c_str()) == InvalidPort();
        termios after{};
        const bool untouched = tcgetattr(terminal, &after) == 0 && after.c_lflag == before.c_lflag;
        char byte = 'r';
        if (write(ready[1], &byte, 1) != 1 || read(done[0], &byte, 1) < 0) {
            _exit(4);
        }
        _exit(refused && untouched ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    // From this process, in another session, the child's terminal is
    // refused as well.
    EXPECT_EQ(InvalidPort(), os_.openPort(path_.c_str()));
    ASSERT_EQ(1, write(done[1], &byte, 1));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
    for (const int end : {ready[0], ready[1], done[0], done[1]}) {
        close(end);
    }
    // Now the pty is no one's terminal: it opens.
    EXPECT_NE(InvalidPort(), OpenConfigured());
}

// A signal handled during a pause interrupts nanosleep, which then returns
// early; the pause sleeps on for what is left. Only the lower bound is
// checked: load can lengthen a pause, never shorten it.
TEST(PosixPause, SignalsDuringThePauseDoNotShortenIt)
{
    struct sigaction action{};
    action.sa_handler = [](int) {};  // no SA_RESTART: sleeps end with EINTR
    struct sigaction previous{};
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
    const itimerval every3ms{{0, 3000}, {0, 3000}};
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &every3ms, nullptr));
    const SerialServices &os = DefaultServices();
    for (int i = 0; i < 10; ++i) {
        const auto start = Clock::now();
        os.sleepMilliseconds(20);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20)) << "pause " << i;
    }
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
}

TEST_F(PtyServices, HandlesAreNeverNullEvenForDescriptorZero)
{
    // Free descriptor 0 so the next open gets it.
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);
    const PortHandle port = os_.openPort(path_.c_str());
    dup2(savedStdin, 0);
    close(savedStdin);
    ASSERT_NE(InvalidPort(), port);
    EXPECT_NE(nullptr, port);
    port_ = port;
}

TEST_F(PtyServices, IdleWaitWakesWhenAByteArrives)
{
    ASSERT_NE(InvalidPort(), OpenConfigured());
    std::thread far([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(1, write(master_, "x", 1));
    });
    const auto start = Clock::now();
    os_.waitForInput(port_, 5000);
    const auto waited = Clock::now() - start;
    far.join();
    EXPECT_LT(waited, std::chrono::milliseconds(2500));
    EXPECT_EQ(1U, os_.countWaitingBytes(port_));
}

TEST_F(PtyServices, AHungUpLineReadsNothingAndIdleWaitsStillWait)
{
    ASSERT_NE(InvalidPort(), OpenConfigured());
    close(master_);
    master_ = -1;
    std::uint8_t byte = 0;
    EXPECT_FALSE(os_.readByte(port_, &byte));
    // Ten idle waits of 10 ms take about 100 ms, not zero: no spin.
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i) {
        os_.waitForInput(port_, 10);
    }
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
}

TEST_F(PtyServices, TickFollowsSleep)
{
    const std::uint32_t before = os_.tickMilliseconds();
    os_.sleepMilliseconds(30);
    const std::uint32_t elapsed = os_.tickMilliseconds() - before;
    EXPECT_GE(elapsed, 29U);
    EXPECT_LT(elapsed, 2000U);
}

TEST_F(PtyServices, ClosingInvalidOrNullHandlesIsHarmless)
{
    os_.closePort(InvalidPort());
    os_.closePort(nullptr);
    EXPECT_FALSE(os_.purgeReceiveQueue(InvalidPort()));
    EXPECT_EQ(0U, os_.countWaitingBytes(InvalidPort()));
}

}  // namespace
}  // namespace gpiolink
