// gpio-tap end to end on Linux: the library opens the tap's pty, the tap
// relays to the simulated controller's pty, and the trace, the results and
// the timing are compared with the same session straight to the simulator.
// Real time is involved, so every bound is generous. The tap on a
// terminal of the test's own shows how it holds the controller's port.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gpiolink.h"
#include "pty_simulator.h"
#include "test_helpers.h"
#include "trace_format.h"

extern char **environ;

namespace {

using gpio_sim::Behaviour;
using gpio_tools::Bytes;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Runs a program with stdout and stderr sent to files.
pid_t Spawn(const std::vector<std::string> &args, const std::string &out, const std::string &err)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// How `pid` ended (waitpid's status) once it ends within `ms`; -1 if it
// does not.
int WaitForEnd(pid_t pid, int ms)
{
    const auto deadline = Clock::now() + milliseconds(ms);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return status;
}

// The exit status of `pid` once it ends within `ms`, -1 if it does not.
int WaitForExit(pid_t pid, int ms)
{
    const int status = WaitForEnd(pid, ms);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A pseudo-terminal of the test's own, standing for the controller's port:
// its slave side as a terminal is found, with echo and line editing.
class OwnTerminal {
public:
    OwnTerminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = "";
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 &&
            ptsname_r(master_, name, sizeof(name)) == 0) {
            path_ = name;
            slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~OwnTerminal()
    {
        close(slave_);
        close(master_);
    }
    OwnTerminal(const OwnTerminal &) = delete;
    OwnTerminal &operator=(const OwnTerminal &) = delete;

    bool Open() const { return slave_ >= 0; }
    const std::string &Path() const { return path_; }
    termios Settings() const
    {
        termios settings{};
        tcgetattr(slave_, &settings);
        return settings;
    }
    // TIOCEXCL in force: no further open of the terminal but by root.
    bool Exclusive() const
    {
        int exclusive = 0;
        return ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    }
    // Another holder's flock on it.
    bool Locked() const
    {
        if (flock(slave_, LOCK_EX | LOCK_NB) == 0) {
            flock(slave_, LOCK_UN);
            return false;
        }
        return true;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

bool SameSettings(const termios &one, const termios &other)
{
    return one.c_iflag == other.c_iflag && one.c_oflag == other.c_oflag && one.c_cflag == other.c_cflag &&
           one.c_lflag == other.c_lflag && std::equal(std::begin(one.c_cc), std::end(one.c_cc), other.c_cc) &&
           cfgetispeed(&one) == cfgetispeed(&other) && cfgetospeed(&one) == cfgetospeed(&other);
}

// What one session gives back, to compare with and without the tap.
struct SessionResults {
    std::vector<int> results;
    std::string version;
    int value = -1;

    bool operator==(const SessionResults &other) const
    {
        return results == other.results && version == other.version && value == other.value;
    }
};

class TapSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        gpio_sim::SimOptions options;
        options.magicPorts = true;
        sim_ = std::make_unique<gpio_sim::PtySimulator>(options);
        dir_ = gpiolink::testing::MakeScratchFolder("gpio-tap-test");
        ASSERT_NE("", dir_);
    }

    void TearDown() override
    {
        if (tap_ > 0) {
            kill(tap_, SIGTERM);
            WaitForExit(tap_, 5000);
        }
        gpiolink::testing::RemoveTree(dir_);
    }

    // Starts gpio-tap on the simulator's port, or on `controller`, and waits
    // for its own port.
    void StartTap(std::vector<std::string> extra = {}, const std::string &controller = {})
    {
        tapPort_.clear();
        std::vector<std::string> args{GPIO_TAP_PROGRAM, controller.empty() ? sim_->SlavePath() : controller,
                                      "--capture", dir_ + "/capture"};
        args.insert(args.end(), extra.begin(), extra.end());
        tap_ = Spawn(args, dir_ + "/out", dir_ + "/err");
        ASSERT_GT(tap_, 0);
        const auto deadline = Clock::now() + milliseconds(5000);
        while (tapPort_.empty() && Clock::now() < deadline) {
            for (const std::string &line : Lines(ReadFile(dir_ + "/out"))) {
                if (line.compare(0, 6, "port: ") == 0) {
                    tapPort_ = line.substr(6);
                }
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        ASSERT_FALSE(tapPort_.empty()) << ReadFile(dir_ + "/err");
    }

    // Stops the tap as a user does, and gives its exit status.
    int StopTap()
    {
        kill(tap_, SIGINT);
        const int status = WaitForExit(tap_, 5000);
        tap_ = -1;
        return status;
    }

    // The trace lines the tap printed, without the port lines.
    std::vector<std::string> Trace() const
    {
        std::vector<std::string> lines = Lines(ReadFile(dir_ + "/out"));
        lines.erase(lines.begin(), lines.begin() + std::min<std::size_t>(2, lines.size()));
        return lines;
    }

    // Version, output, input, the bit operations, then a time-out (magic
    // port 0xF0: silence) and a CRC error (0xF1: the reply's CRC broken).
    SessionResults RunSession(const std::string &port)
    {
        sim_->Model().Reset();
        SessionResults got;
        HANDLE handle = nullptr;
        auto &r = got.results;
        r.push_back(GPIO_OpenInterface(port.c_str(), &handle));
        char version[64] = {};
        r.push_back(GPIO_GetVersion(handle, version, sizeof(version)));
        got.version = version;
        unsigned char value = 0;
        r.push_back(GPIO_Output(handle, 1, 0xA5));
        r.push_back(GPIO_Input(handle, 1, &value));
        got.value = value;
        r.push_back(GPIO_BitSet(handle, 2, 3));
        r.push_back(GPIO_BitTest(handle, 2, 3));
        r.push_back(GPIO_BitReset(handle, 2, 3));
        r.push_back(GPIO_BitTest(handle, 2, 3));
        r.push_back(GPIO_Input(handle, 0xF0, &value));
        r.push_back(GPIO_Input(handle, 0xF1, &value));
        r.push_back(GPIO_CloseInterface(handle));
        return got;
    }

    std::unique_ptr<gpio_sim::PtySimulator> sim_;
    std::string dir_;
    pid_t tap_ = -1;
    std::string tapPort_;
};

// "host->dev  <hex>  <meaning>": a trace line without its time.
std::string Line(const char *direction, const Bytes &wire, const std::string &meaning)
{
    return std::string(direction) + "  " + (wire.empty() ? "" : gpio_tools::HexBytes(wire) + "  ") + meaning;
}

std::string WithoutTime(const std::string &line)
{
    const std::size_t at = line.find(" ms  ");
    return at == std::string::npos ? line : line.substr(at + 5);
}

double TimeOf(const std::string &line) { return std::stod(line); }

TEST_F(TapSession, TracesEveryFrameChangesNoResultAndReplaysTheSame)
{
    const SessionResults direct = RunSession(sim_->PortName());
    StartTap();
    const SessionResults tapped = RunSession(tapPort_);
    EXPECT_TRUE(direct == tapped);
    EXPECT_EQ((std::vector<int>{GPIO_RESULT_OK, GPIO_RESULT_OK, GPIO_RESULT_OK, GPIO_RESULT_OK, GPIO_RESULT_OK,
                                GPIO_RESULT_BIT_HIGH, GPIO_RESULT_OK, GPIO_RESULT_BIT_LOW, GPIO_RESULT_TIMEOUT,
                                GPIO_RESULT_IO_ERROR, GPIO_RESULT_OK}),
              tapped.results);
    EXPECT_EQ("GPIO-SIM 1.0", tapped.version);
    EXPECT_EQ(0xA5, tapped.value);

    // The last trace line (the CRC error) is written once the reply has
    // been relayed, which may be a moment after the library has it.
    const auto deadline = Clock::now() + milliseconds(2000);
    while (Trace().size() < 18 && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    using gpio_tools::EncodeReply;
    using gpio_tools::EncodeRequest;
    const Bytes ok{0x00};
    const Bytes badCrc = gpio_sim::Shape(Behaviour::BadCrc(), gpio_tools::DecodeRequest({'I', 0}), {0x00, 0x00}).pieces.at(0).bytes;
    const std::vector<std::string> expected{
        Line("host->dev", EncodeRequest({'V'}), "version"),
        Line("dev->host", EncodeReply({0x00, 'G', 'P', 'I', 'O', '-', 'S', 'I', 'M', ' ', '1', '.', '0'}),
             "ok version \"GPIO-SIM 1.0\""),
        Line("host->dev", EncodeRequest({'O', 1, 0xA5}), "output port 1 value 0xA5"),
        Line("dev->host", EncodeReply(ok), "ok"),
        Line("host->dev", EncodeRequest({'I', 1}), "input port 1"),
        Line("dev->host", EncodeReply({0x00, 0xA5}), "ok value 0xA5"),
        Line("host->dev", EncodeRequest({'B', 'S', 2, 3}), "bit set port 2 bit 3"),
        Line("dev->host", EncodeReply(ok), "ok"),
        Line("host->dev", EncodeRequest({'T', 2, 3}), "bit test port 2 bit 3"),
        Line("dev->host", EncodeReply({0x00, 'H'}), "ok level H"),
        Line("host->dev", EncodeRequest({'B', 'C', 2, 3}), "bit reset port 2 bit 3"),
        Line("dev->host", EncodeReply(ok), "ok"),
        Line("host->dev", EncodeRequest({'T', 2, 3}), "bit test port 2 bit 3"),
        Line("dev->host", EncodeReply({0x00, 'L'}), "ok level L"),
        Line("host->dev", EncodeRequest({'I', 0xF0}), "input port 240"),
        Line("note     ", {}, "SILENCE: no reply within 100 ms to input port 240"),
        Line("host->dev", EncodeRequest({'I', 0xF1}), "input port 241"),
        Line("dev->host", badCrc, "ok value 0x00 (BAD CRC)"),
    };
    const std::vector<std::string> trace = Trace();
    std::vector<std::string> meanings;
    for (const std::string &line : trace) {
        meanings.push_back(WithoutTime(line));
    }
    EXPECT_EQ(expected, meanings);
    ASSERT_EQ(expected.size(), trace.size());
    // The silence is stamped at its deadline, 100 ms after the request.
    EXPECT_NEAR(TimeOf(trace[14]) + 100.0, TimeOf(trace[15]), 0.0015);

    // The capture, replayed, gives the same trace, and as JSON the events.
    EXPECT_EQ(0, StopTap());
    const std::string replay = dir_ + "/replay";
    pid_t pid = Spawn({GPIO_TAP_PROGRAM, "--replay", dir_ + "/capture"}, replay, dir_ + "/err");
    ASSERT_EQ(0, WaitForExit(pid, 5000)) << ReadFile(dir_ + "/err");
    EXPECT_EQ(trace, Lines(ReadFile(replay)));
    pid = Spawn({GPIO_TAP_PROGRAM, "--replay", dir_ + "/capture", "--json"}, replay, dir_ + "/err");
    ASSERT_EQ(0, WaitForExit(pid, 5000));
    std::vector<std::string> events;
    for (const std::string &line : Lines(ReadFile(replay))) {
        const std::size_t at = line.find("\"event\":\"");
        events.push_back(at == std::string::npos ? line : line.substr(at + 9, line.find('"', at + 9) - at - 9));
    }
    EXPECT_EQ(19U, events.size());
    EXPECT_EQ("request", events.at(0));
    EXPECT_EQ("reply", events.at(1));
    EXPECT_EQ("silence", events.at(15));
    EXPECT_EQ("bad-crc", events.at(17));
    EXPECT_EQ("summary", events.at(18));
    EXPECT_NE(std::string::npos, Lines(ReadFile(replay)).back().find("\"requests\":9,\"replies\":8,\"bad_crc\":1,"))
        << ReadFile(replay);
}

// The tap adds a copy each way and a trace line: well under a millisecond
// on an idle machine. Measured side by side against a second simulator (the
// tap holds the first one's port), alternating, so a load on the machine
// weighs on both; the bound only catches a tap that paces or polls.
TEST_F(TapSession, AddsLittleToTheExchangeTime)
{
    StartTap();
    gpio_sim::PtySimulator plain;
    std::vector<double> direct;
    std::vector<double> tapped;
    for (int round = 0; round < 4; ++round) {
        for (const bool viaTap : {false, true}) {
            HANDLE handle = nullptr;
            ASSERT_EQ(GPIO_RESULT_OK,
                      GPIO_OpenInterface((viaTap ? tapPort_ : plain.PortName()).c_str(), &handle));
            for (int i = 0; i < 8; ++i) {
                unsigned char value = 0;
                const auto start = Clock::now();
                ASSERT_EQ(GPIO_RESULT_OK, GPIO_Input(handle, 0, &value));
                const std::chrono::duration<double, std::milli> took = Clock::now() - start;
                (viaTap ? tapped : direct).push_back(took.count());
            }
            GPIO_CloseInterface(handle);
        }
    }
    const auto median = [](std::vector<double> times) {
        std::sort(times.begin(), times.end());
        return (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    };
    const double added = median(tapped) - median(direct);
    std::printf("median exchange: %.3f ms direct, %.3f ms through gpio-tap, %.3f ms added\n", median(direct),
                median(tapped), added);
    RecordProperty("added_us", static_cast<int>(added * 1000));
    EXPECT_LT(added, 10.0);
}

// The application closes its side: the tap waits for the next open. The
// controller's port goes away: the tap says so and ends with status 3.
TEST_F(TapSession, OutlivesTheApplicationButNotTheController)
{
    StartTap();
    for (int open = 0; open < 2; ++open) {
        HANDLE handle = nullptr;
        ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(tapPort_.c_str(), &handle));
        unsigned char value = 0;
        EXPECT_EQ(GPIO_RESULT_OK, GPIO_Input(handle, 0, &value));
        EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
    }
    sim_->HangUp();
    EXPECT_EQ(3, WaitForExit(tap_, 5000));
    tap_ = -1;
    EXPECT_NE(std::string::npos, ReadFile(dir_ + "/err").find("went away"));
    const std::vector<std::string> capture = Lines(ReadFile(dir_ + "/capture"));
    ASSERT_FALSE(capture.empty());
    EXPECT_EQ(" E", capture.back().substr(capture.back().size() - 2));
}

// gpio-tap holds the controller's port as the library holds a port: raw,
// locked and exclusive. However it ends, by its own stop signals or by any
// other signal that ends a process, it leaves the port with the settings it
// found and free for the next program.
TEST_F(TapSession, HoldsThePortAsTheLibraryDoesAndLeavesItAsFoundHoweverItEnds)
{
    rlimit core{};
    getrlimit(RLIMIT_CORE, &core);
    const rlimit noCore{0, core.rlim_max};
    setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT would dump one
    const struct {
        const char *name;
        int signal;
        bool stops;  // ends gpio-tap with status 0, else the signal ends it
    } ends[] = {{"SIGINT", SIGINT, true},   {"SIGTERM", SIGTERM, true},     {"SIGHUP", SIGHUP, true},
                {"SIGQUIT", SIGQUIT, false}, {"SIGUSR1", SIGUSR1, false},    {"SIGUSR2", SIGUSR2, false},
                {"SIGPIPE", SIGPIPE, false}, {"SIGALRM", SIGALRM, false},    {"SIGVTALRM", SIGVTALRM, false}};
    OwnTerminal port;
    ASSERT_TRUE(port.Open());
    const termios found = port.Settings();
    ASSERT_NE(0U, found.c_lflag & ICANON);
    for (const auto &end : ends) {
        SCOPED_TRACE(end.name);
        StartTap({}, port.Path());
        EXPECT_EQ(0U, port.Settings().c_lflag & (ICANON | ECHO)) << "not raw";
        EXPECT_TRUE(port.Exclusive());
        EXPECT_TRUE(port.Locked());
        kill(tap_, end.signal);
        const int status = WaitForEnd(tap_, 5000);
        tap_ = -1;
        if (end.stops) {
            EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        } else {
            EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == end.signal) << status;
        }
        EXPECT_TRUE(SameSettings(found, port.Settings()));
        EXPECT_FALSE(port.Exclusive());
        EXPECT_FALSE(port.Locked());
    }
    setrlimit(RLIMIT_CORE, &core);
}

}  // namespace
