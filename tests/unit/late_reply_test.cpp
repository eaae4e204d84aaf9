// Replies that come after the receiver has given up, and calls that must
// end, on the virtual clock.
#include <gtest/gtest.h>

#include "gpiolink.h"
#include "link/frame_receiver.h"
#include "scripted_controller.h"
#include "scripted_session.h"
#include "wire_codec.h"

namespace gpiolink {
namespace {

using testing::AnswerRequests;
using testing::Bytes;
using testing::Call;
using testing::ScriptedPort;
using testing::ScriptedReply;

// Ports 0-3 hold 0xA0-0xA3; every reply leaves `delay` ms after its request.
testing::Responder PortsAnsweringAfter(std::uint32_t delay)
{
    return [delay](const Bytes &request) {
        const auto value = static_cast<std::uint8_t>(0xA0 + (request.size() > 1 ? request[1] : 0));
        return ScriptedReply{gpio_tools::EncodeReply({0x00, value}), delay};
    };
}

class LateReplies : public testing::ScriptedSession {
protected:
    // One Input, timed on the virtual clock.
    int Input(unsigned char port, unsigned char &value)
    {
        return Timed([&] { return GPIO_Input(handle_, port, &value); });
    }
};

TEST_F(LateReplies, AReplyAfterTheTimeoutIsNeverTakenForTheNextRequest)
{
    // 150 ms: after the receiver's 100 ms, before the next call's purges.
    AnswerRequests(port_, PortsAnsweringAfter(150));
    for (int i = 0; i < 20; ++i) {
        unsigned char value = 0x5A;
        EXPECT_EQ(GPIO_RESULT_TIMEOUT, Input(static_cast<unsigned char>(i % 4), value)) << "call " << i;
        EXPECT_EQ(0x5A, value);
    }
}

TEST_F(LateReplies, TheCallAfterATimeoutWaitsForSilenceThenAnswersRightly)
{
    AnswerRequests(port_, PortsAnsweringAfter(150));
    unsigned char value = 0;
    ASSERT_EQ(GPIO_RESULT_TIMEOUT, Input(1, value));
    // The late reply lands 30 ms into this call's wait, which then lasts
    // until the line has been silent for 100 ms.
    AnswerRequests(port_, PortsAnsweringAfter(2));
    EXPECT_EQ(GPIO_RESULT_OK, Input(2, value));
    EXPECT_EQ(0xA2, value);
    EXPECT_EQ(30U + kSilenceTimeoutMs + 2 + 20, elapsed_);
}

TEST_F(LateReplies, ACallLaterThanTheSilencePaysNothing)
{
    AnswerRequests(port_, PortsAnsweringAfter(150));
    unsigned char value = 0;
    ASSERT_EQ(GPIO_RESULT_TIMEOUT, Input(1, value));
    line_.now += 200;
    AnswerRequests(port_, PortsAnsweringAfter(2));
    EXPECT_EQ(GPIO_RESULT_OK, Input(3, value));
    EXPECT_EQ(0xA3, value);
    EXPECT_EQ(2U + 20, elapsed_);
}

// A close after a time-out hands the port on only once the late reply has
// come and the line has been silent for 100 ms since: the next open, here
// or in the next process, starts on a quiet line and pays nothing.
TEST_F(LateReplies, ACloseAfterATimeoutWaitsForSilenceSoTheNextOpenStartsQuiet)
{
    AnswerRequests(port_, PortsAnsweringAfter(150));
    unsigned char value = 0;
    ASSERT_EQ(GPIO_RESULT_TIMEOUT, Input(1, value));
    // The reply lands 30 ms into the close, which then waits 100 ms more.
    EXPECT_EQ(GPIO_RESULT_OK, Timed([&] { return GPIO_CloseInterface(handle_); }));
    EXPECT_EQ(30U + kSilenceTimeoutMs, elapsed_);
    EXPECT_TRUE(port_.arrivals.empty());
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle_));
    AnswerRequests(port_, PortsAnsweringAfter(2));
    EXPECT_EQ(GPIO_RESULT_OK, Input(2, value));
    EXPECT_EQ(0xA2, value);
    EXPECT_EQ(2U + 20, elapsed_);
}

// The same device opened again under another name without a close (a link
// and its target): the failure noted on the first handle follows the
// device, so the first exchange on the new handle waits for silence too.
TEST_F(LateReplies, AFailureFollowsItsDeviceToTheHandleOfAnOpenWithoutAClose)
{
    testing::ScriptedPort &alias = line_.AddPort("dev:COM9");
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle_));
    port_.device = alias.device = 42;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle_));
    AnswerRequests(port_, PortsAnsweringAfter(150));
    unsigned char value = 0;
    ASSERT_EQ(GPIO_RESULT_TIMEOUT, Input(1, value));
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM9", &handle_));
    AnswerRequests(alias, PortsAnsweringAfter(2));
    EXPECT_EQ(GPIO_RESULT_OK, Input(2, value));
    EXPECT_EQ(0xA2, value);
    EXPECT_GE(elapsed_, kSilenceTimeoutMs) << "the new handle did not wait for silence";
}

// A damaged reply with a good one behind it, 40 or 90 ms later: the good
// frame answers the failed request, never the next one, whether the next
// request follows at once or after a close and an open.
TEST_F(LateReplies, AGoodFrameAfterADamagedOneIsNeverTakenForTheNextRequest)
{
    for (const std::uint32_t gap : {40U, 90U}) {
        for (const bool reopen : {false, true}) {
            SCOPED_TRACE(::testing::Message() << gap << " ms, reopen " << reopen);
            port_.onWrite = [gap](testing::ScriptedLine &line, ScriptedPort &port, const Bytes &) {
                Bytes damaged = gpio_tools::EncodeReply({0x00, 0xA1});
                damaged[4] ^= 0x01;
                line.Arrive(port, damaged, 2);
                line.Arrive(port, gpio_tools::EncodeReply({0x00, 0xA1}), 2 + gap);
            };
            unsigned char value = 0;
            ASSERT_EQ(GPIO_RESULT_IO_ERROR, Input(1, value));
            port_.onWrite = nullptr;
            if (reopen) {
                ASSERT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle_));
                ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle_));
            }
            AnswerRequests(port_, PortsAnsweringAfter(2));
            EXPECT_EQ(GPIO_RESULT_OK, Input(2, value));
            EXPECT_EQ(0xA2, value);
        }
    }
}

// Healthy exchanges, and a close long after a failure, wait for nothing.
TEST_F(LateReplies, NoCloseWaitsAfterHealthyExchangesOrLongAfterAFailure)
{
    AnswerRequests(port_, PortsAnsweringAfter(2));
    unsigned char value = 0;
    ASSERT_EQ(GPIO_RESULT_OK, Input(1, value));
    EXPECT_EQ(GPIO_RESULT_OK, Timed([&] { return GPIO_CloseInterface(handle_); }));
    EXPECT_EQ(0U, elapsed_);
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle_));
    AnswerRequests(port_, PortsAnsweringAfter(150));
    ASSERT_EQ(GPIO_RESULT_TIMEOUT, Input(1, value));
    line_.now += 300;
    EXPECT_EQ(GPIO_RESULT_OK, Timed([&] { return GPIO_CloseInterface(handle_); }));
    EXPECT_EQ(0U, elapsed_);
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle_));
}

// Calls and a close from a process other than the one that opened the
// interface (a child that inherited it) are refused before the port is
// touched.
TEST_F(LateReplies, AnotherProcessCannotUseOrCloseTheInterface)
{
    SerialServices child = Services();
    child.currentProcess = [] { return DefaultServices().currentProcess() + 1U; };
    ReplaceServices(&child);
    unsigned char value = 0;
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Input(handle_, 0, &value));
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_CloseInterface(handle_));
    EXPECT_TRUE(port_.written.empty());
    EXPECT_TRUE(port_.open);
    child.currentProcess = DefaultServices().currentProcess;
    ReplaceServices(&child);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle_));
    handle_ = nullptr;
}

TEST_F(LateReplies, ALineThatNeverStopsEndsEveryCall)
{
    // A byte every 50 ms, never a frame, for longer than any call.
    line_.Arrive(port_, Bytes(400, 0x41), 0, 50);
    unsigned char value = 0x5A;
    EXPECT_EQ(GPIO_RESULT_TIMEOUT, Input(0, value));
    EXPECT_LE(elapsed_, kReceiveLimitMs + kPollIntervalMs + 20);
    // The next call gives up waiting for silence at the same limit.
    EXPECT_EQ(GPIO_RESULT_TIMEOUT, Input(0, value));
    EXPECT_LE(elapsed_, 2 * (kReceiveLimitMs + kPollIntervalMs) + 20);
    EXPECT_EQ(0x5A, value);
}

TEST_F(LateReplies, NullPointersAreRefusedBeforeAnythingIsSent)
{
    HANDLE other = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface(nullptr, &other));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("COM3", nullptr));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_ScanInterface(nullptr));
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, GPIO_Input(handle_, 0, nullptr));
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, GPIO_GetVersion(handle_, nullptr, 64));
    // The handle check still comes first.
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Input(nullptr, 0, nullptr));
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_GetVersion(nullptr, nullptr, 64));
    EXPECT_EQ(nullptr, other);
    EXPECT_TRUE(port_.written.empty());
    EXPECT_EQ(0, line_.Calls(Call::kListOpen));
    EXPECT_EQ(1, line_.Calls(Call::kOpen));
    // The open interface is still the one opened before.
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle_));
    handle_ = nullptr;
}

}  // namespace
}  // namespace gpiolink
