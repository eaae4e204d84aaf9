// End to end on Linux: replies later than the time-out, lines that never
// stop, and a process that forks with the interface open. Real time is
// involved, so every bound is generous.
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "fixed_port_list.h"
#include "gpiolink.h"
#include "late_reply_tally.h"
#include "link/frame_receiver.h"
#include "pty_port.h"
#include "pty_simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A pty whose far end sends one byte every `interval` and never completes a
// frame: a device that streams data (a GPS receiver, a modem).
class StreamingLine {
public:
    explicit StreamingLine(milliseconds interval)
        : thread_([this, interval] {
              while (!stop_) {
                  port_.Write({0x24}, false);
                  std::this_thread::sleep_for(interval);
              }
          })
    {
    }
    ~StreamingLine()
    {
        stop_ = true;
        thread_.join();
    }
    StreamingLine(const StreamingLine &) = delete;
    StreamingLine &operator=(const StreamingLine &) = delete;
    std::string PortName() const { return port_.PortName(); }

private:
    gpio_sim::PtyPort port_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

template <typename Operation>
milliseconds Timed(Operation operation)
{
    const auto start = Clock::now();
    operation();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// The receiver's limit, the pause, and a second for a loaded machine.
const milliseconds kCallBound{gpiolink::kReceiveLimitMs + 20 + 1000};

// Replies 125 ms late, and damaged replies with a good one 40 ms behind:
// with the interface kept open, and closed and opened again before every
// call (the next open, in this process or another, must start on a quiet
// line). A late reply lands 15 to 25 ms after the call gave up, well inside
// the 100 ms for which the library then lets the line fall silent: a
// reply frame carries no request number, so one that a loaded machine
// holds back past that window could not be told from an answer by any
// receiver, and the margin keeps the test about the library's part.
TEST(BoundedSession, LateAndDamagedRepliesNeverGiveAWrongValueEvenAcrossAReopen)
{
    for (const bool damaged : {false, true}) {
        for (const bool reopen : {false, true}) {
            SCOPED_TRACE(::testing::Message() << (damaged ? "damaged" : "late") << (reopen ? ", reopened" : ""));
            gpio_sim::SimOptions options;
            options.replyDelayMs = damaged ? 0 : 125;
            options.magicPorts = damaged;
            // When each reply went out, so that one the loaded machine held
            // back past the library's limit is not taken for its fault.
            std::string times = ::testing::TempDir() + "gpiolink-reply-times-XXXXXX";
            const int descriptor = mkstemp(times.data());
            ASSERT_LE(0, descriptor);
            options.replyTimes = fdopen(descriptor, "w");
            ASSERT_NE(nullptr, options.replyTimes);
            std::optional<gpio_sim::PtySimulator> sim(std::in_place, options);
            for (unsigned char port = 0; port < 4; ++port) {
                sim->Model().SetLatch(port, static_cast<std::uint8_t>(0xA0 + port));
            }
            const std::string name = sim->PortName();
            HANDLE handle = nullptr;
            ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(name.c_str(), &handle));
            gpiolink::testing::LateReplyRun run(reopen ? ", reopened before every call" : "", damaged,
                                                reopen ? gpiolink::testing::ReopenBeforeEveryCall(name.c_str())
                                                       : nullptr);
            run.replyTimes = times;
            gpiolink::testing::ExpectOnlyOwnValues(handle, run);
            EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
            sim.reset();
            std::fclose(options.replyTimes);
            std::remove(times.c_str());
        }
    }
}

TEST(BoundedSession, ALineThatNeverStopsEndsTheCall)
{
    StreamingLine line(milliseconds(50));
    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(line.PortName().c_str(), &handle));
    for (int i = 0; i < 2; ++i) {
        unsigned char value = 0x5A;
        int result = 0;
        const milliseconds took = Timed([&] { result = GPIO_Input(handle, 0, &value); });
        EXPECT_EQ(GPIO_RESULT_TIMEOUT, result);
        EXPECT_EQ(0x5A, value);
        // The first call ends at the receiver's limit; the second first
        // gives up waiting for silence at the same limit.
        EXPECT_GE(took, milliseconds(gpiolink::kReceiveLimitMs));
        EXPECT_LT(took, (i + 1) * kCallBound) << "call " << i;
    }
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
}

TEST(BoundedSession, DiscoveryPassesAStreamingPort)
{
    StreamingLine line(milliseconds(20));
    gpio_sim::PtySimulator controller;
    gpiolink::testing::FixedPortList ports({line.PortName(), controller.PortName()});
    char name[20] = "unchanged";
    int result = 0;
    const milliseconds took = Timed([&] { result = GPIO_ScanInterface(name); });
    EXPECT_EQ(GPIO_RESULT_OK, result);
    EXPECT_EQ(controller.PortName(), name);
    EXPECT_LT(took, kCallBound + milliseconds(1000));
}

// A child that inherits the open interface, made by fork() (which runs the
// fork handlers) and by glibc's _Fork() (which runs none): its calls and its
// close are refused, it writes nothing on the line and leaves the parent's
// port and terminal settings alone.
TEST(BoundedSession, AForkedChildCannotUseOrCloseTheParentsInterface)
{
    for (const auto forker : {&fork, &_Fork}) {
        SCOPED_TRACE(forker == &fork ? "fork" : "_Fork");
        // A bare pty and no simulator: no thread of this process is copied
        // half-alive into the child.
        gpio_sim::PtyPort line;
        // Canonical before the open, so that a close that put back the
        // saved settings would show.
        termios settings{};
        ASSERT_EQ(0, tcgetattr(line.Master(), &settings));
        settings.c_lflag |= ICANON;
        ASSERT_EQ(0, tcsetattr(line.Master(), TCSANOW, &settings));
        HANDLE handle = nullptr;
        ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(line.PortName().c_str(), &handle));
        const pid_t child = forker();
        ASSERT_NE(-1, child);
        if (child == 0) {
            unsigned char value = 0;
            const bool refused = GPIO_Input(handle, 0, &value) == GPIO_RESULT_BAD_HANDLE &&
                                 GPIO_Output(handle, 1, 0x42) == GPIO_RESULT_BAD_HANDLE &&
                                 GPIO_CloseInterface(handle) == GPIO_RESULT_BAD_HANDLE;
            _exit(refused ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        // The child wrote nothing on the line, and the line is still raw.
        char byte = 0;
        EXPECT_EQ(-1, read(line.Master(), &byte, 1));
        ASSERT_EQ(0, tcgetattr(line.Master(), &settings));
        EXPECT_EQ(0U, settings.c_lflag & ICANON);
        // The parent's interface is still open: its request goes out (and,
        // unanswered, times out).
        EXPECT_EQ(GPIO_RESULT_TIMEOUT, GPIO_Output(handle, 1, 0x42));
        EXPECT_GT(read(line.Master(), &byte, 1), 0);
        EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
    }
}

}  // namespace
