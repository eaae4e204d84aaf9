// The six device operations and their exchange over scripted services, on
// the virtual clock.
#include <gtest/gtest.h>

#include <cstring>

#include "gpiolink.h"
#include "link/frame_receiver.h"
#include "scripted_controller.h"
#include "scripted_session.h"
#include "test_helpers.h"
#include "wire_codec.h"

namespace gpiolink {
namespace {

using gpio_tools::EncodeReply;
using testing::AnswerRequests;
using testing::Bytes;
using testing::Call;
using testing::ReplyWith;
using testing::RequestsWritten;
using testing::ScriptedLine;
using testing::ScriptedPort;
using testing::ScriptedReply;

class DeviceOperations : public testing::ScriptedSession {
protected:
    void Reply(const Bytes &payload, std::uint32_t delay = 2) { AnswerRequests(port_, ReplyWith(payload, delay)); }
    void ReplyWire(const Bytes &wire, std::uint32_t delay = 2)
    {
        AnswerRequests(port_, [wire, delay](const Bytes &) { return ScriptedReply{wire, delay}; });
    }
};

TEST_F(DeviceOperations, InputSendsTheWorkedExampleAndStoresTheValue)
{
    ReplyWire({0x02, 0x40, 0x00, 0x00, 0xA5, 0x0F, 0x13, 0x03});
    unsigned char value = 0;
    EXPECT_EQ(GPIO_RESULT_OK, Timed([&] { return GPIO_Input(handle_, 2, &value); }));
    EXPECT_EQ(0xA5, value);
    EXPECT_EQ((Bytes{0x02, 0x00, 0x40, 0x49, 0x7D, 0xE2, 0x0E, 0x7B, 0x03}), port_.written);
    // Reply after 2 ms, then the 20 ms pause.
    EXPECT_EQ(22U, elapsed_);
}

TEST_F(DeviceOperations, EachCommandSendsItsRequest)
{
    Reply({0x00, 0x48});
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(handle_, 1, 0xFF));
    EXPECT_EQ((Bytes{0x02, 0x00, 0x40, 0x4F, 0x01, 0xFF, 0x63, 0xCD, 0x03}), port_.written);
    port_.written.clear();
    EXPECT_EQ(GPIO_RESULT_BIT_HIGH, GPIO_BitTest(handle_, 0, 3));
    EXPECT_EQ((Bytes{0x02, 0x00, 0x40, 0x54, 0x00, 0x7D, 0xE3, 0xCD, 0xFD, 0x03}), port_.written);
    port_.written.clear();
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_BitSet(handle_, 2, 7));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_BitReset(handle_, 3, 0x7D));
    char text[8];
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_GetVersion(handle_, text, sizeof(text)));
    const std::vector<Bytes> expected = {{'B', 'S', 2, 7}, {'B', 'C', 3, 0x7D}, {'V'}};
    EXPECT_EQ(expected, RequestsWritten(port_));
}

TEST_F(DeviceOperations, BitTestReadsTheLevel)
{
    const std::pair<Bytes, int> cases[] = {
        {{0x00, 'H'}, GPIO_RESULT_BIT_HIGH},
        {{0x00, 'L'}, GPIO_RESULT_BIT_LOW},
        {{0x00, 'X'}, GPIO_RESULT_UNEXPECTED},
        {{0x00}, GPIO_RESULT_UNEXPECTED},  // no level: the request's port byte is not one
        {{0xFF, 'H'}, GPIO_RESULT_DEVICE_FF},
    };
    for (const auto &[payload, result] : cases) {
        Reply(payload);
        EXPECT_EQ(result, GPIO_BitTest(handle_, 'H', 'H')) << int(payload[0]);
    }
}

TEST_F(DeviceOperations, StatusBytesMapToResultsForEveryOperation)
{
    const std::pair<std::uint8_t, int> statuses[] = {
        {0xFF, GPIO_RESULT_DEVICE_FF}, {0xFE, GPIO_RESULT_DEVICE_FE}, {0xFD, GPIO_RESULT_IO_ERROR},
        {0x01, GPIO_RESULT_UNEXPECTED}, {0x80, GPIO_RESULT_UNEXPECTED},
    };
    for (const auto &[status, result] : statuses) {
        Reply({status, 0x11});
        unsigned char value = 0x5A;
        char text[4] = {'x', 'x', 'x', 'x'};
        EXPECT_EQ(result, GPIO_Input(handle_, 0, &value));
        EXPECT_EQ(0x5A, value);
        EXPECT_EQ(result, GPIO_Output(handle_, 0, 0));
        EXPECT_EQ(result, GPIO_BitSet(handle_, 0, 0));
        EXPECT_EQ(result, GPIO_BitReset(handle_, 0, 0));
        EXPECT_EQ(result, GPIO_BitTest(handle_, 0, 0));
        EXPECT_EQ(result, GPIO_GetVersion(handle_, text, sizeof(text)));
        // The version buffer keeps the raw reply payload.
        EXPECT_EQ(static_cast<char>(status), text[0]);
        EXPECT_EQ(0x11, text[1]);
    }
}

TEST_F(DeviceOperations, SilenceTimesOutAfter100MsPlusThePause)
{
    unsigned char value = 0x5A;
    EXPECT_EQ(GPIO_RESULT_TIMEOUT, Timed([&] { return GPIO_Input(handle_, 0, &value); }));
    EXPECT_EQ(kSilenceTimeoutMs + 20, elapsed_);
    EXPECT_EQ(0x5A, value);
}

TEST_F(DeviceOperations, ACorruptedReplyFailsAtOnceWithoutWaitingForTheTimeout)
{
    Bytes wire = EncodeReply({0x00, 0x42});
    wire[4] ^= 0x10;
    ReplyWire(wire, 5);
    unsigned char value = 0x5A;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, Timed([&] { return GPIO_Input(handle_, 0, &value); }));
    EXPECT_EQ(25U, elapsed_);
    EXPECT_EQ(0x5A, value);
}

TEST_F(DeviceOperations, StaleBytesFromEarlierExchangesArePurged)
{
    // A late reply to an earlier request waits in the queue, and another
    // arrives just after the first purge has run: neither is taken.
    line_.Arrive(port_, EncodeReply({0x00, 0x99}));
    int purges = 0;
    port_.onPurge = [&purges](ScriptedLine &line, ScriptedPort &port) {
        if (++purges == 1) {
            line.Arrive(port, EncodeReply({0x00, 0x98}));
        }
    };
    Reply({0x00, 0x01});
    unsigned char value = 0;
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Input(handle_, 0, &value));
    EXPECT_EQ(0x01, value);
    EXPECT_EQ(2, purges);
}

TEST_F(DeviceOperations, TooShortSuccessRepliesAreUnexpectedAndWriteNothing)
{
    Reply({0x00});
    unsigned char value = 0x5A;
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, GPIO_Input(handle_, 7, &value));
    EXPECT_EQ(0x5A, value);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(handle_, 7, 7));

    // An empty payload has no status at all.
    Reply({});
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, GPIO_Output(handle_, 0, 0));
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, GPIO_Input(handle_, 0, &value));
    char text[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, GPIO_GetVersion(handle_, text, sizeof(text)));
    EXPECT_EQ(0, std::memcmp(text, "xxxx", 4));
}

TEST_F(DeviceOperations, WrongHandlesAreRefusedWithoutTouchingThePort)
{
    const HANDLE wrong[] = {nullptr, line_.HandleOf(7), INVALID_HANDLE_VALUE};
    for (HANDLE handle : wrong) {
        unsigned char value = 0x5A;
        char text[4] = {'x', 'x', 'x', 'x'};
        EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Input(handle, 0, &value));
        EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Output(handle, 0, 0));
        EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_BitTest(handle, 0, 0));
        EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_BitSet(handle, 0, 0));
        EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_BitReset(handle, 0, 0));
        EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_GetVersion(handle, text, sizeof(text)));
        EXPECT_EQ(0x5A, value);
        EXPECT_EQ(0, std::memcmp(text, "xxxx", 4));
    }
    EXPECT_EQ(0, line_.Calls(Call::kPurge));
    EXPECT_TRUE(port_.written.empty());
}

TEST_F(DeviceOperations, AFailedSecondPurgeEndsTheOperationBeforeAnythingIsSent)
{
    Reply({0x00, 0x01});
    line_.FailCall(Call::kPurge, 2);
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Output(handle_, 0, 0));
    line_.FailCall(Call::kPurge, 2);
    char text[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, GPIO_GetVersion(handle_, text, sizeof(text)));
    EXPECT_EQ(0, std::memcmp(text, "xxxx", 4));
    EXPECT_TRUE(port_.written.empty());
    // A failed first purge is not examined.
    line_.FailCall(Call::kPurge, 1);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(handle_, 0, 0));
}

TEST_F(DeviceOperations, WritesThatTakeNothingEndTheExchangeAfterThePause)
{
    Reply({0x00});
    line_.FailCall(Call::kWrite, 1, true);
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, Timed([&] { return GPIO_Output(handle_, 0, 0); }));
    EXPECT_EQ(20U, elapsed_);
    EXPECT_EQ(1, line_.Calls(Call::kWrite));

    // A write that fails part-way, after some bytes were taken.
    line_.FailCall(Call::kWrite, 3, true);
    line_.writeLimit = 2;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_Output(handle_, 0, 0));
    EXPECT_EQ(4U, port_.written.size());
}

TEST_F(DeviceOperations, AnUnpluggedPortEndsTheCallInBoundedTimeAndLaterCallsFailFast)
{
    // The device vanishes once the request is out: from then on the port
    // counts nothing, reads nothing and refuses to purge, as a removed
    // adapter's driver does.
    port_.onWrite = [](ScriptedLine &line, ScriptedPort &, const Bytes &) {
        line.FailCall(Call::kCount, 1, true);
        line.FailCall(Call::kRead, 1, true);
        line.FailCall(Call::kPurge, 1, true);
    };
    unsigned char value = 0x5A;
    EXPECT_EQ(GPIO_RESULT_TIMEOUT, Timed([&] { return GPIO_Input(handle_, 0, &value); }));
    EXPECT_EQ(kSilenceTimeoutMs + 20, elapsed_);
    EXPECT_LE(line_.Calls(Call::kCount), 12);  // one poll per idle wait, no spin
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, Timed([&] { return GPIO_Input(handle_, 0, &value); }));
    EXPECT_EQ(0U, elapsed_);
    EXPECT_EQ(0x5A, value);
}

TEST_F(DeviceOperations, PartialWritesStillSendTheWholeFrame)
{
    Reply({0x00, 0x33});
    line_.writeLimit = 1;
    unsigned char value = 0;
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Input(handle_, 2, &value));
    EXPECT_EQ(0x33, value);
    EXPECT_EQ(9, line_.Calls(Call::kWrite));
    EXPECT_EQ((Bytes{0x02, 0x00, 0x40, 0x49, 0x7D, 0xE2, 0x0E, 0x7B, 0x03}), port_.written);
}

class VersionQuery : public DeviceOperations {
protected:
    VersionQuery() { Reply({0x00, 'G', 'P', 'I', 'O', '-', '1'}); }

    // Runs the query into a buffer of `size` bytes inside a larger guarded
    // area, and returns the result.
    int Query(int size)
    {
        area_.Reset(kArea);
        return GPIO_GetVersion(handle_, area_.Text(), size);
    }

    static constexpr std::size_t kArea = 48;
    testing::GuardedBuffer area_{kArea, 'x'};
};

TEST_F(VersionQuery, TextIsTerminatedInsideTheBuffer)
{
    ASSERT_EQ(GPIO_RESULT_OK, Query(20));
    EXPECT_STREQ("GPIO-1", area_.Text());
    EXPECT_TRUE(area_.UntouchedFrom(7));
}

TEST_F(VersionQuery, TextIsCutToTheBufferSize)
{
    ASSERT_EQ(GPIO_RESULT_OK, Query(5));
    EXPECT_STREQ("GPIO", area_.Text());
    EXPECT_TRUE(area_.UntouchedFrom(5));
    ASSERT_EQ(GPIO_RESULT_OK, Query(1));
    EXPECT_EQ('\0', area_.Text()[0]);
    EXPECT_TRUE(area_.UntouchedFrom(1));
}

TEST_F(VersionQuery, NoRoomMeansUnexpectedAndNothingWritten)
{
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, Query(0));
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, Query(-5));
    EXPECT_TRUE(area_.UntouchedFrom(0));
}

}  // namespace
}  // namespace gpiolink
