// End to end on Linux: the library opens the slave side of a real
// pseudo-terminal and talks to the simulated controller on the master side.
// Real time is involved, so every bound is generous.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "gpiolink.h"
#include "link/serial_services.h"
#include "pty_simulator.h"

namespace {

using gpio_sim::Behaviour;
using gpio_tools::Bytes;
using Clock = std::chrono::steady_clock;

class DeviceSession : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(sim_.PortName().c_str(), &handle_)); }
    void TearDown() override { GPIO_CloseInterface(handle_); }

    // The wire bytes of the last request the controller received.
    Bytes LastRequest() const
    {
        const auto requests = sim_.Requests();
        return requests.empty() ? Bytes{} : requests.back();
    }

    template <typename Operation>
    int Timed(Operation operation)
    {
        const auto start = Clock::now();
        const int result = operation();
        elapsed_ = Clock::now() - start;
        return result;
    }

    gpio_sim::PtySimulator sim_;
    HANDLE handle_ = nullptr;
    Clock::duration elapsed_{};
};

TEST_F(DeviceSession, WorkedExamplesByteForByteOnTheWire)
{
    unsigned char value = 0;
    sim_.Model().SetLatch(2, 0xA5);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Input(handle_, 2, &value));
    EXPECT_EQ(0xA5, value);
    EXPECT_EQ((Bytes{0x02, 0x00, 0x40, 0x49, 0x7D, 0xE2, 0x0E, 0x7B, 0x03}), LastRequest());

    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(handle_, 1, 0xFF));
    EXPECT_EQ((Bytes{0x02, 0x00, 0x40, 0x4F, 0x01, 0xFF, 0x63, 0xCD, 0x03}), LastRequest());

    EXPECT_EQ(GPIO_RESULT_BIT_LOW, GPIO_BitTest(handle_, 0, 3));
    EXPECT_EQ((Bytes{0x02, 0x00, 0x40, 0x54, 0x00, 0x7D, 0xE3, 0xCD, 0xFD, 0x03}), LastRequest());
}

TEST_F(DeviceSession, PortsAndBitsFollowTheDevice)
{
    unsigned char value = 0;
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(handle_, 3, 0x81));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Input(handle_, 3, &value));
    EXPECT_EQ(0x81, value);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_BitSet(handle_, 3, 2));
    EXPECT_EQ(GPIO_RESULT_BIT_HIGH, GPIO_BitTest(handle_, 3, 2));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_BitReset(handle_, 3, 7));
    EXPECT_EQ(GPIO_RESULT_BIT_LOW, GPIO_BitTest(handle_, 3, 7));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Input(handle_, 3, &value));
    EXPECT_EQ(0x05, value);
    // The simulator refuses a port it does not have.
    EXPECT_EQ(GPIO_RESULT_DEVICE_FF, GPIO_Input(handle_, 9, &value));
    EXPECT_EQ(0x05, value);
}

TEST_F(DeviceSession, VersionTextIsCutToTheBuffer)
{
    char area[32];
    std::memset(area, 'x', sizeof(area));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_GetVersion(handle_, area, 20));
    EXPECT_STREQ("GPIO-SIM 1.0", area);
    std::memset(area, 'x', sizeof(area));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_GetVersion(handle_, area, 5));
    EXPECT_STREQ("GPIO", area);
    EXPECT_EQ('x', area[5]);
}

TEST_F(DeviceSession, EveryStatusMapsToItsResult)
{
    const std::pair<std::uint8_t, int> statuses[] = {
        {0xFF, GPIO_RESULT_DEVICE_FF},
        {0xFE, GPIO_RESULT_DEVICE_FE},
        {0xFD, GPIO_RESULT_IO_ERROR},
        {0x01, GPIO_RESULT_UNEXPECTED},
    };
    for (const auto &[status, result] : statuses) {
        sim_.Script(Behaviour::Status(status));
        EXPECT_EQ(result, GPIO_Output(handle_, 0, 0)) << int(status);
        sim_.Script(Behaviour::Status(status, true));
        char text[16];
        EXPECT_EQ(result, GPIO_GetVersion(handle_, text, sizeof(text)));
        EXPECT_EQ(static_cast<char>(status), text[0]);
    }
}

TEST_F(DeviceSession, SilenceTimesOutAfterAbout120Ms)
{
    sim_.Script(Behaviour::Silence());
    unsigned char value = 0x5A;
    EXPECT_EQ(GPIO_RESULT_TIMEOUT, Timed([&] { return GPIO_Input(handle_, 0, &value); }));
    EXPECT_EQ(0x5A, value);
    EXPECT_GE(elapsed_, std::chrono::milliseconds(115));
    EXPECT_LT(elapsed_, std::chrono::milliseconds(1000));
}

TEST_F(DeviceSession, ACorruptedReplyIsAnIoErrorNotATimeout)
{
    sim_.Script(Behaviour::BadCrc());
    unsigned char value = 0x5A;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, Timed([&] { return GPIO_Input(handle_, 0, &value); }));
    EXPECT_EQ(0x5A, value);
    EXPECT_LT(elapsed_, std::chrono::milliseconds(1000));
}

TEST_F(DeviceSession, AStaleLateReplyIsPurgedBeforeTheNextRequest)
{
    sim_.Model().SetLatch(1, 0x11);
    sim_.Model().SetLatch(2, 0x22);
    // The reply comes 200 ms after the request: 100 ms after the receiver
    // has given up, a margin that holds on a loaded machine.
    sim_.Script(Behaviour::Stale(200));
    unsigned char value = 0;
    EXPECT_EQ(GPIO_RESULT_TIMEOUT, GPIO_Input(handle_, 1, &value));
    // Let the late reply land in the port's queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(1U, sim_.Replies().size());
    ASSERT_FALSE(sim_.Replies()[0].empty());
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Input(handle_, 2, &value));
    EXPECT_EQ(0x22, value);
}

TEST_F(DeviceSession, RepliesThatArriveAwkwardlyAreStillTaken)
{
    sim_.Model().SetLatch(0, 0x3C);
    // Gaps and delays stay at most half the 100 ms of silence, so the
    // simulator has 50 ms or more to spare on a loaded machine.
    const Behaviour awkward[] = {Behaviour::Split(3, 30), Behaviour::Noise(), Behaviour::ForeignFrame(),
                                 Behaviour::Delay(50)};
    for (const Behaviour &behaviour : awkward) {
        sim_.Script(behaviour);
        unsigned char value = 0;
        EXPECT_EQ(GPIO_RESULT_OK, GPIO_Input(handle_, 0, &value)) << static_cast<int>(behaviour.kind);
        EXPECT_EQ(0x3C, value);
    }
}

TEST_F(DeviceSession, HandleRules)
{
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Output(nullptr, 0, 0));
    // A second open of the same port is refused: the open is exclusive.
    HANDLE again = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface(sim_.PortName().c_str(), &again));
    EXPECT_EQ(INVALID_HANDLE_VALUE, again);
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Output(handle_, 0, 0));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(INVALID_HANDLE_VALUE));

    // The first port is still open, so a second simulator takes over.
    gpio_sim::PtySimulator other;
    HANDLE second = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(other.PortName().c_str(), &second));
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_CloseInterface(handle_));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(second, 0, 1));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(second));
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_CloseInterface(second));
    EXPECT_EQ(0U, sim_.RequestCount());
}

// Counts the receiver's looks at the input queue, each passed on to the
// real services: a receiver that waits, rather than spins, makes at most one
// per poll interval (10 ms) of the call.
int g_queueLooks = 0;

std::uint32_t CountedWaitingBytes(gpiolink::PortHandle port)
{
    ++g_queueLooks;
    return gpiolink::DefaultServices().countWaitingBytes(port);
}

TEST_F(DeviceSession, UnpluggingMidExchangeEndsTheCallPromptlyWithoutSpinning)
{
    gpiolink::SerialServices counted = gpiolink::Services();
    counted.countWaitingBytes = CountedWaitingBytes;
    gpiolink::ReplaceServices(&counted);
    // The controller is unplugged after 20 ms. It would answer only after
    // 200 ms, so even an unplug that comes late cannot let a reply through.
    sim_.Script(Behaviour::Delay(200));
    std::thread unplug([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sim_.HangUp();
    });
    unsigned char value = 0x5A;
    g_queueLooks = 0;
    const int result = Timed([&] { return GPIO_Input(handle_, 0, &value); });
    const int looks = g_queueLooks;
    unplug.join();
    EXPECT_TRUE(result == GPIO_RESULT_TIMEOUT || result == GPIO_RESULT_IO_ERROR) << result;
    EXPECT_EQ(0x5A, value);
    EXPECT_LT(elapsed_, std::chrono::milliseconds(400));
    // Waiting on a hung-up line must sleep, not poll in a tight loop: the
    // 100 ms of silence allow about 11 looks, whatever the machine's load
    // (a spinning receiver makes thousands).
    EXPECT_LE(looks, 20);

    // Later calls fail at once: the hung-up port refuses the purge of its
    // input (or, failing that, takes no bytes), so no reply is awaited. After
    // a time-out the call looks at the queue once before that purge.
    g_queueLooks = 0;
    const int later = GPIO_Output(handle_, 0, 0);
    EXPECT_TRUE(later == GPIO_RESULT_BAD_HANDLE || later == GPIO_RESULT_IO_ERROR) << later;
    EXPECT_LE(g_queueLooks, result == GPIO_RESULT_TIMEOUT ? 1 : 0);
    gpiolink::ReplaceServices(nullptr);
}

TEST(DeviceSessionOpen, RefusesFilesAndAbsentPorts)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("null", &handle));  // /dev/null: not a terminal
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("ttyGPIOLINK9", &handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(INVALID_HANDLE_VALUE));
}

}  // namespace
