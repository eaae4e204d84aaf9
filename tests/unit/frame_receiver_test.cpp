// The receiver over scripted byte arrivals on the virtual clock: no test
// here takes real time.
#include <gtest/gtest.h>

#include "link/frame_format.h"
#include "link/frame_receiver.h"
#include "scripted_line.h"
#include "test_helpers.h"
#include "wire_codec.h"

namespace gpiolink {
namespace {

using gpio_tools::EncodeReply;
using testing::Bytes;
using testing::Call;
using testing::GuardedBuffer;
using testing::Join;
using testing::ScriptedLine;
using testing::ScriptedPort;

class FrameReceiver : public ::testing::Test {
protected:
    FrameReceiver() : port_(line_.AddPort("dev:COM1")) { port_.open = true; }

    // Runs the receiver with a fresh destination guarded on both sides.
    LinkResult Receive(std::int32_t capacity = 20)
    {
        destination_.Reset(capacity > 0 ? static_cast<std::size_t>(capacity) : 0);
        capacity_ = capacity;
        start_ = line_.now;
        const LinkResult result = ReceiveFrame(line_.HandleOf(0), destination_.Data(), capacity_);
        elapsed_ = line_.now - start_;
        return result;
    }

    // The bytes the receiver copied (capacity_ of them after FrameOk).
    Bytes Copied() const { return destination_.Contents(capacity_ > 0 ? static_cast<std::size_t>(capacity_) : 0); }

    // True when nothing past the first `inside` bytes was written.
    bool GuardsIntact(std::int32_t inside) const
    {
        return destination_.UntouchedFrom(inside > 0 ? static_cast<std::size_t>(inside) : 0);
    }

    ScriptedLine line_;
    ScriptedPort &port_;
    GuardedBuffer destination_;
    std::int32_t capacity_ = 0;
    std::uint32_t start_ = 0;
    std::uint32_t elapsed_ = 0;
};

TEST_F(FrameReceiver, TakesTheFirstValidFrameAndItsPayload)
{
    line_.Arrive(port_, {0x02, 0x40, 0x00, 0x00, 0xA5, 0x0F, 0x13, 0x03}, 5);
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00, 0xA5}), Copied());
    EXPECT_EQ(2, capacity_);
    EXPECT_TRUE(GuardsIntact(20));
}

TEST_F(FrameReceiver, IgnoresNoiseAndStrayEtxBeforeTheFrame)
{
    line_.Arrive(port_, Join({{0x41, 0x03, 0x03, 0xFF, 0x7D, 0x03}, EncodeReply({0x00, 0x11})}));
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00, 0x11}), Copied());
}

TEST_F(FrameReceiver, SkipsAFrameForAnotherAddressAndTakesTheNextInTheSameBurst)
{
    // A request echoed on the line carries 0x40 at offset 2: not a reply.
    line_.Arrive(port_, Join({gpio_tools::EncodeRequest({0x49, 0x00}), EncodeReply({0x00, 0x5A})}));
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00, 0x5A}), Copied());
}

TEST_F(FrameReceiver, StxInsideAFrameRestartsIt)
{
    // The cut-off frame may end on an escape byte: the STX forgets it too.
    for (const std::uint8_t last : {0x44, 0x7D}) {
        line_.Arrive(port_, Join({{0x02, 0x00, 0x00, 0x33, last}, EncodeReply({0x00, 0x01})}));
        EXPECT_EQ(FrameOk, Receive()) << int(last);
        EXPECT_EQ((Bytes{0x00, 0x01}), Copied());
    }
}

TEST_F(FrameReceiver, UnstuffsEscapedBytes)
{
    line_.Arrive(port_, EncodeReply({0x00, 0x02, 0x03, 0x7D, 0x5D}));
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00, 0x02, 0x03, 0x7D, 0x5D}), Copied());
}

TEST_F(FrameReceiver, EscapeBeforeEtxIsForgottenAndTheEtxEndsTheFrame)
{
    // 02 00 00 <payload 00> <crc> 7D 03: the ETX still ends the frame and the
    // pending escape is dropped, so the frame validates.
    Bytes frame = EncodeReply({0x00});
    frame.insert(frame.end() - 1, 0x7D);
    line_.Arrive(port_, frame);
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00}), Copied());
}

TEST_F(FrameReceiver, UnknownEscapeDropsBothBytesAndTheCrcDecides)
{
    // 7D 41 vanishes, so a frame whose CRC was computed without it passes...
    Bytes frame = EncodeReply({0x00, 0x42});
    frame.insert(frame.begin() + 4, {0x7D, 0x41});
    line_.Arrive(port_, frame);
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00, 0x42}), Copied());

    // ...and one whose CRC counted a byte there fails.
    Bytes broken = EncodeReply({0x00, 0x41, 0x42});
    broken.insert(broken.begin() + 4, 0x7D);
    line_.Arrive(port_, broken);
    EXPECT_EQ(CrcError, Receive());
    EXPECT_EQ(0U, g_receiveLength);
    EXPECT_TRUE(GuardsIntact(0));
}

TEST_F(FrameReceiver, CrcErrorEndsTheCallAtOnceAndLeavesTheCallerAlone)
{
    Bytes frame = EncodeReply({0x00, 0x10});
    frame[4] ^= 0x01;
    line_.Arrive(port_, Join({frame, EncodeReply({0x00, 0x20})}), 7);
    EXPECT_EQ(CrcError, Receive());
    EXPECT_EQ(7U, elapsed_);
    EXPECT_EQ(20, capacity_);
    EXPECT_TRUE(GuardsIntact(0));
    // The frame after the bad one stays queued.
    EXPECT_EQ(EncodeReply({0x00, 0x20}).size(), port_.Waiting(line_.now));
}

TEST_F(FrameReceiver, EitherCrcByteCorruptedAloneIsACrcError)
{
    const Bytes good = EncodeReply({0x00, 0x10});
    ASSERT_EQ(8U, good.size());  // unstuffed: the CRC sits just before the ETX
    for (const std::size_t at : {good.size() - 3, good.size() - 2}) {
        Bytes frame = good;
        frame[at] ^= 0x01;
        ASSERT_FALSE(NeedsEscape(frame[at]));
        line_.Arrive(port_, frame);
        EXPECT_EQ(CrcError, Receive()) << at;
    }
}

TEST_F(FrameReceiver, SixByteFrameGivesCountZero)
{
    line_.Arrive(port_, EncodeReply({}));
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ(0, capacity_);
    EXPECT_TRUE(GuardsIntact(0));
}

TEST_F(FrameReceiver, FiveByteFrameIsDroppedAndTimesOutAfterItsLastByte)
{
    line_.Arrive(port_, {0x02, 0x00, 0x00, 0x12, 0x03}, 40, 1);
    EXPECT_EQ(Timeout, Receive());
    EXPECT_EQ(44U + kSilenceTimeoutMs, elapsed_);
    EXPECT_TRUE(GuardsIntact(0));
}

TEST_F(FrameReceiver, SilenceTimesOutAfter100MsAcrossTheTickWrap)
{
    ASSERT_GT(line_.now, 0xFFFFFFFFU - kSilenceTimeoutMs);
    EXPECT_EQ(Timeout, Receive());
    EXPECT_EQ(kSilenceTimeoutMs, elapsed_);
    EXPECT_EQ(20, capacity_);
}

TEST_F(FrameReceiver, PartialFrameThenSilenceTimesOut)
{
    line_.Arrive(port_, {0x02, 0x00, 0x00, 0x00, 0x48}, 30);
    EXPECT_EQ(Timeout, Receive());
    EXPECT_EQ(30U + kSilenceTimeoutMs, elapsed_);
}

TEST_F(FrameReceiver, ALineThatKeepsSendingKeepsTheReceiverListeningUpToTheLimit)
{
    // Noise every 90 ms, then the reply just inside the overall limit.
    for (std::uint32_t t = 0; t < kReceiveLimitMs - 150; t += 90) {
        line_.Arrive(port_, {0x55}, t);
    }
    line_.Arrive(port_, EncodeReply({0x00, 0x07}), kReceiveLimitMs - 120);
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ(kReceiveLimitMs - 120, elapsed_);
    EXPECT_EQ((Bytes{0x00, 0x07}), Copied());
}

// The slowest reply a healthy controller sends must arrive whole, so the
// overall limit has to leave room for it: the longest frame the receive
// buffer holds, with every payload byte stuffed into two, at 38400 baud with
// 10 bits a byte, beginning as late as the silence time-out allows (100 ms
// after the request) and with a 90 ms pause halfway, which is still no
// silence.
TEST_F(FrameReceiver, TheSlowestHealthyReplyOfTheLongestLengthArrivesWhole)
{
    Bytes payload(kReceiveBufferSize - 6);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = Bytes{0x02, 0x03, 0x7D}[i % 3];
    }
    const Bytes wire = EncodeReply(payload);
    ASSERT_GE(wire.size(), 1014U) << "not the longest reply";
    // 3840 bytes a second: byte k is on the line 100 ms + k * 10 / 38.4 ms
    // after the request, plus the pause from the middle on.
    std::uint32_t at = 0;
    for (std::size_t k = 0; k < wire.size(); ++k) {
        at = static_cast<std::uint32_t>(100 + k * 100 / 384 + (k >= wire.size() / 2 ? 90 : 0));
        line_.Arrive(port_, {wire[k]}, at);
    }
    ASSERT_GE(at, 450U);
    EXPECT_EQ(FrameOk, Receive(600));
    EXPECT_EQ(payload, Copied());
    EXPECT_GE(elapsed_, at) << "taken before its last byte arrived";
}

TEST_F(FrameReceiver, ALineThatNeverStopsEndsAtTheOverallLimit)
{
    // A byte every 50 ms that never completes a frame, and a stream that
    // floods the queue: neither holds the receiver past its limit.
    for (const std::uint32_t spacing : {50U, 1U}) {
        const Bytes endless(3 * kReceiveLimitMs / spacing, spacing == 1 ? 0x02 : 0x41);
        line_.Arrive(port_, endless, 0, spacing);
        EXPECT_EQ(Timeout, Receive());
        EXPECT_GE(elapsed_, kReceiveLimitMs);
        EXPECT_LE(elapsed_, kReceiveLimitMs + kPollIntervalMs);
        EXPECT_TRUE(GuardsIntact(20));
        port_.arrivals.clear();
    }
}

TEST_F(FrameReceiver, AReplyWaitingInTheQueueIsNotSilence)
{
    // The reply arrives 5 ms after the start, while the caller is not
    // scheduled for 150 ms: when it runs again the reply is waiting.
    line_.Arrive(port_, EncodeReply({0x00, 0x3C}), 5);
    line_.oversleepMs = 150;
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00, 0x3C}), Copied());
}

TEST_F(FrameReceiver, ReplyBytesSpreadOverTimeAreCollected)
{
    line_.Arrive(port_, EncodeReply({0x00, 0x47, 0x50, 0x49, 0x4F}), 3, 9);
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00, 0x47, 0x50, 0x49, 0x4F}), Copied());
}

TEST_F(FrameReceiver, PayloadLongerThanCapacityIsCut)
{
    line_.Arrive(port_, EncodeReply({0x00, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(FrameOk, Receive(5));
    EXPECT_EQ(5, capacity_);
    EXPECT_EQ((Bytes{0x00, 1, 2, 3, 4}), Copied());
    EXPECT_TRUE(GuardsIntact(5));
}

TEST_F(FrameReceiver, ZeroOrNegativeCapacityCopiesNothing)
{
    for (const std::int32_t capacity : {0, -1, -100}) {
        line_.Arrive(port_, EncodeReply({0x00, 0x01}));
        EXPECT_EQ(FrameOk, Receive(capacity));
        EXPECT_EQ(capacity, capacity_);
        EXPECT_TRUE(GuardsIntact(0));
    }
}

TEST_F(FrameReceiver, TwoFramesWaitingTogetherLeaveTheSecondQueued)
{
    const Bytes second = EncodeReply({0x00, 0x02});
    line_.Arrive(port_, Join({EncodeReply({0x00, 0x01}), second}));
    EXPECT_EQ(FrameOk, Receive());
    EXPECT_EQ((Bytes{0x00, 0x01}), Copied());
    EXPECT_EQ(second.size(), port_.Waiting(line_.now));
}

TEST_F(FrameReceiver, OversizedFrameNeverWritesPastTheReceiveBuffer)
{
    // 700 payload bytes: the buffer's last offset takes the overflow, so the
    // CRC bytes are lost and the frame fails its check. Nothing beyond the
    // buffer or the caller's capacity is touched.
    Bytes payload(700, 0x33);
    payload[0] = 0x00;
    line_.Arrive(port_, EncodeReply(payload));
    EXPECT_EQ(CrcError, Receive());
    EXPECT_TRUE(GuardsIntact(0));

    // A frame that fills the buffer exactly still validates.
    const Bytes fits(kReceiveBufferSize - 6, 0x44);
    line_.Arrive(port_, EncodeReply(fits));
    EXPECT_EQ(FrameOk, Receive(600));
    EXPECT_EQ(static_cast<std::int32_t>(fits.size()), capacity_);
    EXPECT_EQ(fits, Copied());
}

TEST_F(FrameReceiver, FailedReadsAreNoBytesAndCannotHoldTheLineOpen)
{
    // A port that claims bytes are waiting but delivers none must still time
    // out, with idle waits in between rather than a spin.
    line_.Arrive(port_, {0x55});
    line_.FailCall(Call::kRead, 1, true);
    EXPECT_EQ(Timeout, Receive());
    EXPECT_EQ(kSilenceTimeoutMs, elapsed_);
    EXPECT_LE(line_.Calls(Call::kCount), 11);
}

}  // namespace
}  // namespace gpiolink
