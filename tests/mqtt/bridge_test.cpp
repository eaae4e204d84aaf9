// The bridge's decisions, with a controller and a clock of the test's own
// and a record of what it publishes: what reaches the controller, what the
// broker is told, and when.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bridge.h"
#include "fake_library.h"

namespace gpio_mqtt {
namespace {

using std::chrono::milliseconds;

using gpio_controller::fake::FakeCalls;
using gpio_controller::fake::FakeController;

struct Published {
    std::string topic;
    std::string payload;
    Clock::time_point at;
};

class Record final : public Publisher {
public:
    explicit Record(const FakeController &controller) : controller_(controller) {}

    void Publish(const std::string &topic, const std::string &payload, bool) override
    {
        messages.push_back({topic, payload, controller_.now});
    }
    void Reply(const std::string &topic, const std::string &, const std::string &payload) override
    {
        replies.push_back({topic, payload, controller_.now});
    }
    void PublishAvailability(bool online) override
    {
        messages.push_back({"availability", online ? "online" : "offline", controller_.now});
    }

    // The payloads published on `topic`, first first.
    std::vector<std::string> On(const std::string &topic) const
    {
        std::vector<std::string> payloads;
        for (const Published &message : messages) {
            if (message.topic == topic) {
                payloads.push_back(message.payload);
            }
        }
        return payloads;
    }
    std::string Last(const std::string &topic) const
    {
        const std::vector<std::string> payloads = On(topic);
        return payloads.empty() ? std::string() : payloads.back();
    }

    std::vector<Published> messages;
    std::vector<Published> replies;

private:
    const FakeController &controller_;
};

// Port 0 an output, port 1 an input polled every 100 ms.
Config TwoPorts()
{
    Config config;
    config.id = "c";
    config.serialPort = "ttyX";
    config.discovery = false;
    PortConfig output;
    output.number = 0;
    output.direction = Direction::kOutput;
    PortConfig input;
    input.number = 1;
    input.direction = Direction::kInput;
    config.ports = {output, input};
    return config;
}

class BridgeTest : public ::testing::Test {
protected:
    // The bridge on the fake controller and clock, not yet started.
    Bridge &Made(Config config)
    {
        return bridge.emplace(std::move(config), record, FakeCalls(controller), queue, log, [] { return ConfigResult{}; },
                              [this] { return controller.now; });
    }

    Bridge &Started(Config config = TwoPorts())
    {
        Made(std::move(config));
        std::string problem;
        EXPECT_TRUE(bridge->Start(problem)) << problem;
        return *bridge;
    }

    Message Command(const std::string &subtopic, const std::string &payload)
    {
        Message message;
        message.topic = "gpiolink/c/" + subtopic;
        message.payload = payload;
        message.arrival = controller.now;
        return message;
    }

    void Send(const Message &message)
    {
        WorkItem item;
        item.message = message;
        bridge->Handle(item);
    }

    // Runs the clock on to `until`, ticking as the bridge would between items.
    void RunUntil(Clock::time_point until)
    {
        while (controller.now < until) {
            controller.now += milliseconds(5);
            bridge->Tick(controller.now);
        }
    }

    FakeController controller;
    Record record{controller};
    WorkQueue queue;
    gpio_controller::Log log{"gpio-mqtt", false};
    std::optional<Bridge> bridge;
};

TEST_F(BridgeTest, RepliesOnlyBelowTheReplyPrefixAndRefusesAnyOtherRequestUntouched)
{
    Started();
    const int before = controller.exchanges;
    for (const char *topic : {"gpiolink/B/port/1", "replies/+/x", "replies/#", "", "replies/", "replies",
                              "repliesX/a", "/replies/a"}) {
        Message request = Command("request", "{\"op\":\"input\",\"port\":0}");
        request.responseTopic = topic;
        Send(request);
        EXPECT_NE(std::string::npos, record.Last("gpiolink/c/error").find("Response Topic")) << topic;
    }
    EXPECT_EQ(before, controller.exchanges) << "a refused request reached the controller";
    EXPECT_TRUE(record.replies.empty());

    Message good = Command("request", "{\"op\":\"input\",\"port\":0}");
    good.responseTopic = "replies/operator/7";
    Send(good);
    ASSERT_EQ(1U, record.replies.size());
    EXPECT_EQ("replies/operator/7", record.replies[0].topic);
    EXPECT_NE(std::string::npos, record.replies[0].payload.find("\"result\":0"));
    // A request refused for its payload still gets its reply there.
    Message bad = Command("request", "{\"op\":\"output\",\"port\":0}");
    bad.responseTopic = "replies/operator/8";
    Send(bad);
    ASSERT_EQ(2U, record.replies.size());
    EXPECT_NE(std::string::npos, record.replies[1].payload.find("no \\\"value\\\" given"));
}

TEST_F(BridgeTest, NeverCarriesOutARetainedCommand)
{
    Started();
    const int before = controller.exchanges;
    Message retained = Command("port/0/bit/0/set", "ON");
    retained.retained = true;
    Send(retained);
    Message request = Command("request", "{\"op\":\"bit-set\",\"port\":0,\"bit\":1}");
    request.responseTopic = "replies/x";
    request.retained = true;
    Send(request);
    EXPECT_EQ(before, controller.exchanges);
    EXPECT_EQ(0, controller.ports[0]);
    EXPECT_EQ(2U, record.On("gpiolink/c/error").size());
    EXPECT_NE(std::string::npos, record.Last("gpiolink/c/error").find("retained"));
}

// A write whose reply was lost, and a write whose read-back failed, may
// both have been carried out: the published state must follow the
// controller, not stay as it was.
TEST_F(BridgeTest, ReadsThePortAgainAfterAFailedWriteOrReadBack)
{
    Started();
    ASSERT_EQ("{\"value\":0,\"hex\":\"0x00\",\"bits\":\"00000000\"}", record.Last("gpiolink/c/port/0"));

    controller.failNext = {GPIO_RESULT_TIMEOUT};
    Send(Command("port/0/set", "0x33"));
    EXPECT_EQ("{\"value\":51,\"hex\":\"0x33\",\"bits\":\"00110011\"}", record.Last("gpiolink/c/port/0"));
    EXPECT_NE(std::string::npos, record.Last("gpiolink/c/error").find("GPIO_RESULT_TIMEOUT"));

    controller.failNext = {GPIO_RESULT_OK, GPIO_RESULT_TIMEOUT};  // the write, then its read-back
    Send(Command("port/0/bit/7/set", "ON"));
    EXPECT_EQ("ON", record.Last("gpiolink/c/port/0/bit/7"));
    EXPECT_NE(std::string::npos, record.Last("gpiolink/c/error").find("reading the port back failed"));
    EXPECT_TRUE(bridge->Online());
}

TEST_F(BridgeTest, GoesOfflineAfterThreeFailuresAndComesBackWithEveryState)
{
    Started();
    ASSERT_EQ("online", record.Last("availability"));
    controller.failNext = {GPIO_RESULT_TIMEOUT, GPIO_RESULT_TIMEOUT};
    Send(Command("port/0/set", "1"));  // the write and the read after it
    EXPECT_TRUE(bridge->Online());
    controller.failNext = {GPIO_RESULT_TIMEOUT};
    RunUntil(controller.now + milliseconds(200));  // the next poll of port 1
    EXPECT_FALSE(bridge->Online());
    EXPECT_EQ("offline", record.Last("availability"));

    // Opened again a second later, not before; a port that will not open
    // is tried every second without a word on the broker.
    const Clock::time_point offlineAt = record.messages.back().at;
    const int opens = controller.opens;
    controller.openFails = true;
    RunUntil(offlineAt + milliseconds(990));
    EXPECT_EQ(opens, controller.opens);
    RunUntil(offlineAt + milliseconds(2100));
    EXPECT_EQ(opens + 2, controller.opens);
    EXPECT_EQ("offline", record.Last("availability"));

    controller.openFails = false;
    controller.ports[1] = 0x80;
    record.messages.clear();
    RunUntil(controller.now + milliseconds(1100));
    EXPECT_TRUE(bridge->Online());
    EXPECT_EQ("online", record.Last("availability"));
    EXPECT_EQ("ON", record.Last("gpiolink/c/port/1/bit/7"));
    EXPECT_EQ("SIM 1.0", record.Last("gpiolink/c/version"));
    for (int port = 0; port < 2; ++port) {
        for (int bit = 0; bit < 8; ++bit) {
            const std::string topic = "gpiolink/c/port/" + std::to_string(port) + "/bit/" + std::to_string(bit);
            EXPECT_EQ(1U, record.On(topic).size()) << topic << " not published again";
        }
    }
}

// A handle the library no longer takes is opened anew at once, not after
// three failed commands; a port whose device is gone likewise.
TEST_F(BridgeTest, OpensThePortAgainAtOnceWhenTheHandleOrTheDeviceIsGone)
{
    Started();
    int opens = controller.opens;
    controller.ports[0] = 0x00;  // a new controller, reset
    controller.failNext = {GPIO_RESULT_BAD_HANDLE};
    Send(Command("port/0/bit/0/set", "ON"));
    EXPECT_EQ(opens + 1, controller.opens);
    EXPECT_TRUE(bridge->Online());
    EXPECT_EQ("OFF", record.Last("gpiolink/c/port/0/bit/1")) << "the new controller's state not published";
    for (const std::string &availability : record.On("availability")) {
        EXPECT_EQ("online", availability);
    }

    opens = controller.opens;
    controller.present = false;
    controller.failNext = {GPIO_RESULT_IO_ERROR};
    RunUntil(controller.now + milliseconds(200));
    EXPECT_EQ(opens + 1, controller.opens);

    // An I/O error on a port that is still there is a damaged reply: counted,
    // no reopen.
    opens = controller.opens;
    controller.present = true;
    controller.failNext = {GPIO_RESULT_IO_ERROR};
    RunUntil(controller.now + milliseconds(200));
    EXPECT_EQ(opens, controller.opens);

    // If the port will not open again, the controller is offline.
    controller.openFails = true;
    controller.failNext = {GPIO_RESULT_BAD_HANDLE};
    RunUntil(controller.now + milliseconds(200));
    EXPECT_FALSE(bridge->Online());
    EXPECT_EQ("offline", record.Last("availability"));
}

TEST_F(BridgeTest, TheCheckReadsOutputPortsAndShowsAControllerThatWasReset)
{
    Config config = TwoPorts();
    config.checkInterval = milliseconds(5000);
    Started(config);
    Send(Command("port/0/set", "0x33"));
    ASSERT_EQ("{\"value\":51,\"hex\":\"0x33\",\"bits\":\"00110011\"}", record.Last("gpiolink/c/port/0"));
    const Clock::time_point reset = controller.now;
    controller.ports[0] = 0;  // power cut: the outputs are off again
    RunUntil(reset + milliseconds(4900));
    EXPECT_EQ("{\"value\":51,\"hex\":\"0x33\",\"bits\":\"00110011\"}", record.Last("gpiolink/c/port/0"));
    RunUntil(reset + milliseconds(5200));
    EXPECT_EQ("{\"value\":0,\"hex\":\"0x00\",\"bits\":\"00000000\"}", record.Last("gpiolink/c/port/0"));
}

TEST_F(BridgeTest, RenewsOnlineWithinItsLifetime)
{
    Config config = TwoPorts();
    config.onlineLifetime = std::chrono::seconds(6);
    Started(config);
    const Clock::time_point start = controller.now;
    RunUntil(start + std::chrono::seconds(12));
    std::vector<Clock::time_point> renewals;
    for (const Published &message : record.messages) {
        if (message.topic == "availability") {
            EXPECT_EQ("online", message.payload);
            renewals.push_back(message.at);
        }
    }
    ASSERT_GE(renewals.size(), 5U);
    for (std::size_t i = 1; i < renewals.size(); ++i) {
        EXPECT_LE(renewals[i] - renewals[i - 1], std::chrono::seconds(2) + milliseconds(25));
    }
}

TEST_F(BridgeTest, SaysNothingOfAControllerWhosePortAnotherProcessHolds)
{
    controller.openFails = true;
    controller.heldElsewhere = true;
    std::string problem;
    EXPECT_FALSE(Made(TwoPorts()).Start(problem));
    EXPECT_NE(std::string::npos, problem.find("busy")) << problem;
    EXPECT_TRUE(record.messages.empty());
    // A port that is missing is tried again later instead.
    controller.heldElsewhere = false;
    EXPECT_TRUE(bridge->Start(problem));
}

// Under a flood of commands a due poll takes its turn between them: the
// input's change shows within its interval and a couple of exchanges.
TEST_F(BridgeTest, PollsTakeTheirTurnUnderAFloodOfCommands)
{
    Started();
    for (int i = 0; i < 200; ++i) {
        WorkItem item;
        item.message = Command("port/0/bit/0/set", i % 2 == 0 ? "ON" : "OFF");
        ASSERT_TRUE(queue.Push(item));
    }
    // Commands older than max_command_age are refused, not carried out.
    const Clock::time_point changed = controller.now;
    controller.ports[1] = 0x01;
    while (record.Last("gpiolink/c/port/1/bit/0") != "ON") {
        ASSERT_LT(controller.now - changed, std::chrono::seconds(1)) << "the poll starved";
        ASSERT_TRUE(bridge->Turn());
    }
    EXPECT_LE(controller.now - changed, milliseconds(100) + 3 * FakeController::kExchange);
    EXPECT_GT(queue.TakeAll().size(), 150U) << "the poll waited for the whole queue";
}

TEST_F(BridgeTest, AnswersWhatIsLeftWhenItStops)
{
    Started();
    WorkItem item;
    item.message = Command("port/0/set", "1");
    queue.Push(item);
    queue.Push(item);
    queue.Stop();
    bridge->Run();
    EXPECT_EQ(2U, record.On("gpiolink/c/error").size());
    EXPECT_NE(std::string::npos, record.Last("gpiolink/c/error").find("stopping"));
    EXPECT_EQ(0, controller.ports[0]);
}

// Port 0 an output with an inverted level signal on bit 0 and a pulse on
// bit 5; port 1 an input with a signal on bit 2.
Config WithSignals(StartRule start)
{
    Config config = TwoPorts();
    SignalConfig pump;
    pump.bit = 0;
    pump.name = "Pump 1";
    pump.slug = "pump-1";
    pump.inverted = true;
    pump.start = start;
    SignalConfig horn;
    horn.bit = 5;
    horn.name = "Horn";
    horn.slug = "horn";
    horn.pulse = milliseconds(500);
    horn.start = StartRule::kOff;
    config.ports[0].signals = {pump, horn};
    SignalConfig door;
    door.bit = 2;
    door.name = "Door";
    door.slug = "door";
    config.ports[1].signals = {door};
    return config;
}

// The outputs' saved state, in memory.
struct MemoryStore final : OutputStateStore {
    OutputValues Load() override { return saved; }
    void Save(const OutputValues &values) override { saved = values; }
    OutputValues saved;
};

TEST_F(BridgeTest, SignalsShowAndSetTheRawBitWithTheirInversion)
{
    controller.ports[0] = 0x01;  // the pump's bit high: the inverted pump is off
    controller.ports[1] = 0x04;
    Started(WithSignals(StartRule::kKeep));
    EXPECT_EQ("OFF", record.Last("gpiolink/c/signal/pump-1"));
    EXPECT_EQ("ON", record.Last("gpiolink/c/signal/door"));
    EXPECT_NE(std::string::npos, record.Last("gpiolink/c/signals").find("\"slug\":\"pump-1\""));
    Send(Command("signal/pump-1/set", "ON"));
    EXPECT_EQ(0x00, controller.ports[0]) << "an inverted signal on is its bit low";
    EXPECT_EQ("ON", record.Last("gpiolink/c/signal/pump-1"));
    EXPECT_EQ("OFF", record.Last("gpiolink/c/port/0/bit/0"));
    Send(Command("signal/pump-1/set", "TOGGLE"));
    EXPECT_EQ(0x01, controller.ports[0]);
    const std::size_t errors = record.On("gpiolink/c/error").size();
    Send(Command("signal/door/set", "ON"));
    Send(Command("signal/horn/set", "TOGGLE"));
    EXPECT_EQ(errors + 2, record.On("gpiolink/c/error").size());
}

// A pulse: on, confirmed, then off after its time; one sent while it runs
// extends it; the stop does not leave it on.
TEST_F(BridgeTest, APulseIsCarriedOutByTheBridgeAndExtendedByAnother)
{
    Started(WithSignals(StartRule::kKeep));
    const Clock::time_point start = controller.now;
    Send(Command("signal/horn/set", "PULSE"));
    EXPECT_EQ(0x20, controller.ports[0]);
    EXPECT_EQ("ON", record.Last("gpiolink/c/signal/horn"));
    RunUntil(start + milliseconds(300));
    Send(Command("signal/horn/set", "ON"));  // extends it to 300 + 500 ms
    RunUntil(start + milliseconds(700));
    EXPECT_EQ(0x20, controller.ports[0]);
    RunUntil(start + milliseconds(900));
    EXPECT_EQ(0x00, controller.ports[0]);
    EXPECT_EQ("OFF", record.Last("gpiolink/c/signal/horn"));

    Send(Command("signal/horn/set", "PULSE"));
    queue.Stop();
    bridge->Finish();
    EXPECT_EQ(0x00, controller.ports[0]) << "the stop left the pulse output on";
}

TEST_F(BridgeTest, OutputsFollowTheirStartRules)
{
    // off of an inverted signal is its bit high; the pulse rests off.
    controller.ports[0] = 0x20;
    Started(WithSignals(StartRule::kOff));
    EXPECT_EQ(0x01, controller.ports[0]);

    // restore: the last value the bridge confirmed, from its store.
    MemoryStore store;
    store.saved = {{0, 0x00}};
    controller.ports[0] = 0x01;
    Made(WithSignals(StartRule::kRestore)).KeepStateIn(store);
    std::string problem;
    ASSERT_TRUE(bridge->Start(problem));
    EXPECT_EQ(0x00, controller.ports[0]);
    Send(Command("signal/pump-1/set", "OFF"));
    EXPECT_EQ(0x01, store.saved[0]) << "a confirmed change not kept";

    // After the controller was lost mid-pulse, the pulse output is back at
    // rest as soon as it answers again.
    Send(Command("signal/horn/set", "PULSE"));
    controller.failNext = {GPIO_RESULT_TIMEOUT, GPIO_RESULT_TIMEOUT, GPIO_RESULT_TIMEOUT};
    RunUntil(controller.now + milliseconds(300));
    ASSERT_FALSE(bridge->Online());
    EXPECT_EQ(0x21, controller.ports[0]);
    RunUntil(controller.now + milliseconds(1500));
    EXPECT_TRUE(bridge->Online());
    EXPECT_EQ(0x01, controller.ports[0]);
}

TEST(WorkQueue, BoundsCommandsButNeverRefusesAConnectOrAReload)
{
    WorkQueue queue;
    WorkItem command;
    for (std::size_t i = 0; i < WorkQueue::kCapacity; ++i) {
        ASSERT_TRUE(queue.Push(command));
    }
    EXPECT_FALSE(queue.Push(command));
    WorkItem reload;
    reload.kind = WorkItem::Kind::kReload;
    WorkItem connected;
    connected.kind = WorkItem::Kind::kConnected;
    EXPECT_TRUE(queue.Push(reload));
    EXPECT_TRUE(queue.Push(reload));  // taken in by the one waiting
    EXPECT_TRUE(queue.Push(connected));
    EXPECT_EQ(WorkQueue::kCapacity + 2, queue.TakeAll().size());
    EXPECT_TRUE(queue.Push(command));
    queue.Stop();
    EXPECT_FALSE(queue.Push(reload));
}

}  // namespace
}  // namespace gpio_mqtt
