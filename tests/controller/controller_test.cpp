// The controller owner's decisions, with a controller and a clock of the
// test's own and a record of the events it raises: what reaches the
// controller, when the port is opened, and what the owner is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "controller.h"
#include "fake_library.h"
#include "poll_schedule.h"

namespace gpio_controller {
namespace {

using fake::FakeCalls;
using fake::FakeController;
using std::chrono::milliseconds;

struct Recorder final : ControllerEvents {
    void PortRead(int port, std::uint8_t value, Clock::time_point when) override
    {
        events.push_back("read " + std::to_string(port) + "=" + std::to_string(value));
        readAt.push_back(when);
    }
    void WentOnline(const std::string &version) override { events.push_back("online " + version); }
    void WentOffline() override { events.push_back("offline"); }

    std::vector<std::string> events;
    std::vector<Clock::time_point> readAt;
};

// Port 0 an output, read by the check every 5 s; port 1 an input polled
// every 100 ms.
ControllerSettings TwoPorts()
{
    ControllerSettings settings;
    settings.serialPort = "ttyX";
    settings.ports = {{0, true, false, milliseconds(100)}, {1, false, true, milliseconds(100)}};
    return settings;
}

class ControllerTest : public ::testing::Test {
protected:
    Controller &Started(ControllerSettings settings = TwoPorts())
    {
        controller.emplace(std::move(settings), FakeCalls(fake), log, record, [this] { return fake.now; });
        std::string problem;
        EXPECT_TRUE(controller->Start(problem)) << problem;
        return *controller;
    }

    // Runs the clock on to `until`, ticking as the owner would.
    void RunUntil(Clock::time_point until)
    {
        while (fake.now < until) {
            fake.now += milliseconds(5);
            controller->Tick(fake.now);
        }
    }

    FakeController fake;
    Recorder record;
    Log log{"gpio-controller-test", false};
    std::optional<Controller> controller;
};

TEST_F(ControllerTest, ReadsEveryPortBeforeItSaysOnlineAndTimesEachRead)
{
    fake.ports = {0x33, 0x80};
    Started();
    EXPECT_EQ((std::vector<std::string>{"read 0=51", "read 1=128", "online SIM 1.0"}), record.events);
    // The version and the two reads, 20 ms each.
    EXPECT_EQ((std::vector<Clock::time_point>{fake.now - milliseconds(20), fake.now}), record.readAt);
    EXPECT_TRUE(controller->Online());
    EXPECT_EQ("SIM 1.0", controller->Version());
    EXPECT_EQ(0x33, controller->Value(0));
    EXPECT_EQ(std::nullopt, controller->Value(2));
}

TEST_F(ControllerTest, GoesOfflineAfterThreeFailuresInARowAndOpensThePortAgainEverySecond)
{
    Started();
    record.events.clear();
    fake.failNext = {GPIO_RESULT_TIMEOUT, GPIO_RESULT_TIMEOUT, GPIO_RESULT_OK, GPIO_RESULT_TIMEOUT,
                     GPIO_RESULT_TIMEOUT};
    for (int i = 0; i < 5; ++i) {
        controller->Read(1);
    }
    EXPECT_TRUE(controller->Online()) << "a valid answer starts the count over";
    // Held, the third failure in a row is counted but decided on at the release.
    controller->Hold();
    fake.failNext = {GPIO_RESULT_IO_ERROR};
    controller->Read(1);
    EXPECT_TRUE(controller->Online());
    controller->Release();
    EXPECT_FALSE(controller->Online());
    EXPECT_EQ(5U, controller->FailedExchanges());
    EXPECT_EQ((std::vector<std::string>{"read 1=0", "offline"}), record.events);

    // The port is opened again a second later; a controller that does not
    // answer its version request there stays offline another second.
    const Clock::time_point offlineAt = fake.now;
    EXPECT_EQ(offlineAt + Controller::kReopenInterval, controller->NextWake());
    const int opens = fake.opens;
    fake.failNext = {GPIO_RESULT_TIMEOUT};
    RunUntil(offlineAt + milliseconds(1000));
    EXPECT_EQ(opens + 1, fake.opens);
    EXPECT_FALSE(controller->Online());
    EXPECT_EQ(6U, controller->FailedExchanges()) << "the count never starts over";
    RunUntil(fake.now + milliseconds(1000));
    EXPECT_TRUE(controller->Online());
    EXPECT_EQ("online SIM 1.0", record.events.back());
}

// A handle the library no longer takes is opened anew at once, as is a port
// whose device is gone; any other failure is only counted.
TEST_F(ControllerTest, OpensThePortAgainAtOnceWhenTheHandleOrTheDeviceIsGone)
{
    struct Case {
        int result;
        bool present;
        bool reopened;
    };
    for (const Case &c : {Case{GPIO_RESULT_BAD_HANDLE, true, true}, Case{GPIO_RESULT_IO_ERROR, false, true},
                          Case{GPIO_RESULT_IO_ERROR, true, false}, Case{GPIO_RESULT_TIMEOUT, false, false}}) {
        Started();
        record.events.clear();
        const int opens = fake.opens;
        fake.present = c.present;
        fake.failNext = {c.result};
        controller->Read(1);
        const std::string name = std::to_string(c.result) + (c.present ? " present" : " gone");
        EXPECT_EQ(opens + (c.reopened ? 1 : 0), fake.opens) << name;
        EXPECT_TRUE(controller->Online()) << name;
        const std::vector<std::string> again{"read 0=0", "read 1=0", "online SIM 1.0"};
        EXPECT_EQ(c.reopened ? again : std::vector<std::string>{}, record.events) << name;
    }
    // If the port will not open again, the controller is offline.
    fake.openFails = true;
    fake.failNext = {GPIO_RESULT_BAD_HANDLE};
    controller->Read(1);
    EXPECT_FALSE(controller->Online());
}

// A write whose reply was lost, or whose read-back failed, may have been
// carried out: the port is read again, unless it is to be opened anew.
TEST_F(ControllerTest, ReadsThePortAgainAfterAFailedWriteOrReadBack)
{
    struct Case {
        std::vector<int> results;  // of the exchanges, first first
        int result;
        int readBack;
        std::optional<std::uint8_t> value;
        int exchanges;  // the write's own and those after it
    };
    const std::optional<std::uint8_t> none;
    for (const Case &c : {
             Case{{}, GPIO_RESULT_OK, GPIO_RESULT_OK, 0x33, 2},
             Case{{GPIO_RESULT_TIMEOUT}, GPIO_RESULT_TIMEOUT, GPIO_RESULT_TIMEOUT, 0x33, 2},
             Case{{GPIO_RESULT_OK, GPIO_RESULT_TIMEOUT}, GPIO_RESULT_OK, GPIO_RESULT_TIMEOUT, 0x33, 3},
             Case{{GPIO_RESULT_TIMEOUT, GPIO_RESULT_TIMEOUT}, GPIO_RESULT_TIMEOUT, GPIO_RESULT_TIMEOUT, none, 2},
             // Opened again at once: the version and every port read instead.
             Case{{GPIO_RESULT_BAD_HANDLE}, GPIO_RESULT_BAD_HANDLE, GPIO_RESULT_BAD_HANDLE, none, 4},
         }) {
        Started();
        const int before = fake.exchanges;
        fake.failNext = c.results;
        const Controller::WriteOutcome outcome = controller->Output(0, 0x33);
        const std::string name = ::testing::PrintToString(c.results);
        EXPECT_EQ(c.result, outcome.result) << name;
        EXPECT_EQ(c.readBack, outcome.readBack) << name;
        EXPECT_EQ(c.value, outcome.value) << name;
        EXPECT_EQ(c.exchanges, fake.exchanges - before) << name;
        if (c.value) {
            EXPECT_EQ(c.value, controller->Value(0)) << name;
        }
        fake.ports[0] = 0;
    }
}

TEST_F(ControllerTest, WritesAreRefusedUntriedOutsideTheWritablePortsAndBits)
{
    Started();
    const int before = fake.exchanges;
    EXPECT_EQ(Controller::kRefused, controller->Output(1, 1).result) << "an input port";
    EXPECT_EQ(Controller::kRefused, controller->Output(7, 1).result) << "a port not planned";
    EXPECT_EQ(Controller::kRefused, controller->BitSet(0, 8).readBack);
    EXPECT_EQ(Controller::kRefused, controller->BitReset(256, 0).result);
    EXPECT_EQ(Controller::kRefused, controller->Read(-1));
    EXPECT_EQ(Controller::kRefused, controller->WriteUnconfirmed(256, 1));
    EXPECT_EQ(before, fake.exchanges);
    EXPECT_EQ(0U, controller->FailedExchanges());
}

TEST_F(ControllerTest, TogglesABitAndReadsThePortBack)
{
    Started();
    fake.ports[0] = 0x01;
    const Controller::WriteOutcome off = controller->BitToggle(0, 0);
    EXPECT_EQ(GPIO_RESULT_OK, off.result);
    EXPECT_EQ(0x00, off.value);
    EXPECT_EQ(GPIO_RESULT_BIT_LOW, controller->BitTest(0, 0));
    EXPECT_EQ(0x01, controller->BitToggle(0, 0).value);
}

TEST_F(ControllerTest, TheCheckReadsUnpolledPortsAndAnotherSerialPortIsOpenedAnew)
{
    Started();
    fake.ports[0] = 0x44;  // written by another program
    const Clock::time_point start = fake.now;
    RunUntil(start + milliseconds(4990));
    EXPECT_EQ(0x00, controller->Value(0));
    RunUntil(start + milliseconds(5100));
    EXPECT_EQ(0x44, controller->Value(0));

    record.events.clear();
    ControllerSettings other = TwoPorts();
    other.serialPort = "ttyY";
    other.ports.pop_back();
    const int opens = fake.opens;
    controller->Reconfigure(other);
    EXPECT_EQ(opens + 1, fake.opens);
    EXPECT_EQ((std::vector<std::string>{"offline", "read 0=68", "online SIM 1.0"}), record.events);
    EXPECT_EQ(std::nullopt, controller->Value(1)) << "a port no longer planned";
}

TEST(PollSchedule, SpreadsThePortsAndMakesNoBurstAfterAStall)
{
    const PortPlan a{1, false, true, milliseconds(100)};
    const PortPlan b{2, false, true, milliseconds(100)};
    const PortPlan output{0, true, false, milliseconds(100)};
    PollSchedule schedule;
    const Clock::time_point start{};
    schedule.Reset({a, b, output}, start);
    EXPECT_EQ(start + milliseconds(50), schedule.NextDue());
    EXPECT_EQ(std::nullopt, schedule.TakeDue(start + milliseconds(49)));
    EXPECT_EQ(1, schedule.TakeDue(start + milliseconds(50)));
    EXPECT_EQ(2, schedule.TakeDue(start + milliseconds(100)));
    // A stall of a second: each port once, then each on its own beat again.
    const Clock::time_point late = start + milliseconds(1100);
    EXPECT_EQ(1, schedule.TakeDue(late));
    EXPECT_EQ(2, schedule.TakeDue(late));
    EXPECT_EQ(std::nullopt, schedule.TakeDue(late));
    EXPECT_EQ(late + milliseconds(100), schedule.NextDue());
}

}  // namespace
}  // namespace gpio_controller
