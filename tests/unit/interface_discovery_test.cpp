// Discovery over a scripted port list and scripted ports, on the virtual
// clock.
#include <gtest/gtest.h>

#include <cstring>

#include "gpiolink.h"
#include "scripted_controller.h"
#include "wire_codec.h"

namespace gpiolink {
namespace {

using testing::AnswerRequests;
using testing::Bytes;
using testing::Call;
using testing::ReplyWith;
using testing::ScriptedLine;
using testing::ScriptedPort;

const Bytes kIdentity = {0x00, 'G', 'P', 'I', 'O', '-', '7'};

class Discovery : public ::testing::Test {
protected:
    // Adds a port to the list; `reply` empty means it stays silent.
    ScriptedPort &List(const std::string &name, const Bytes &reply = {})
    {
        line_.portList.push_back(name);
        ScriptedPort &port = line_.AddPort("probe:" + name);
        if (!reply.empty()) {
            AnswerRequests(port, ReplyWith(reply));
        }
        return port;
    }

    int Scan()
    {
        std::memset(name_, '#', sizeof(name_));
        name_[sizeof(name_) - 1] = '\0';
        const std::uint32_t start = line_.now;
        const int result = GPIO_ScanInterface(name_);
        elapsed_ = line_.now - start;
        return result;
    }

    bool NameUntouched() const { return std::strspn(name_, "#") == sizeof(name_) - 1; }

    void ExpectEverythingReleased() const
    {
        EXPECT_EQ(0, line_.openLists);
        EXPECT_EQ(0, line_.OpenPortCount());
    }

    ScriptedLine line_;
    char name_[24] = {};
    std::uint32_t elapsed_ = 0;
};

TEST_F(Discovery, TheFirstPortThatAnswersWinsAndLaterPortsAreNeverOpened)
{
    ScriptedPort &first = List("COM1");
    ScriptedPort &second = List("COM7", kIdentity);
    ScriptedPort &third = List("COM9", kIdentity);
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_STREQ("COM7", name_);
    EXPECT_EQ(1, first.opens);
    EXPECT_EQ(1, second.opens);
    EXPECT_EQ(0, third.opens);
    // The probe sets the line but leaves the modem lines alone.
    EXPECT_TRUE(second.configured);
    EXPECT_EQ(ModemLines::kUntouched, second.lines);
    EXPECT_EQ((std::vector<Bytes>{{'V'}}), testing::RequestsWritten(second));
    ExpectEverythingReleased();
}

// Each silent port: 100 ms of silence, the 20 ms pause, and the rest of
// 100 ms more of silence before its close, so that a reply still on its
// way cannot reach whoever opens the port next.
TEST_F(Discovery, SilentPortsGiveTheEmptyNameAfter200MsEach)
{
    List("COM1");
    List("COM2");
    List("COM3");
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_STREQ("", name_);
    EXPECT_EQ(3U * 200U, elapsed_);
    ExpectEverythingReleased();
}

// A controller that answers after the probe gave up, and one whose first
// reply comes damaged with a good one behind it: neither reply is left on
// the line when its port is closed.
TEST_F(Discovery, AProbeThatFailedClosesItsPortOnlyOnceTheLineIsSilent)
{
    ScriptedPort &late = List("COM1");
    AnswerRequests(late, [](const Bytes &) { return testing::ScriptedReply{gpio_tools::EncodeReply(kIdentity), 150}; });
    ScriptedPort &damaged = List("COM2");
    damaged.onWrite = [](ScriptedLine &line, ScriptedPort &port, const Bytes &) {
        Bytes badCrc = gpio_tools::EncodeReply(kIdentity);
        badCrc[5] ^= 0x01;
        line.Arrive(port, badCrc, 2);
        line.Arrive(port, gpio_tools::EncodeReply(kIdentity), 90);
    };
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_STREQ("", name_);
    EXPECT_TRUE(late.arrivals.empty());
    EXPECT_TRUE(damaged.arrivals.empty());
    // COM1: its reply at 150 ms, silence until 250 ms. COM2: the damaged
    // reply at 2 ms, the good one at 90 ms, silence until 190 ms.
    EXPECT_EQ(250U + 190U, elapsed_);
    ExpectEverythingReleased();
}

TEST_F(Discovery, AnEmptyListLeavesTheNameAsPassed)
{
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_TRUE(NameUntouched());
    ExpectEverythingReleased();
}

TEST_F(Discovery, RepliesThatDoNotIdentifyTheControllerArePassedOver)
{
    Bytes badCrc = gpio_tools::EncodeReply(kIdentity);
    badCrc[5] ^= 0x01;
    List("COM1", {0x00, 'G', 'P', 'I', 'X', '-', '1'});  // another device
    List("COM2", {0x00, 'G', 'P', 'I', 'O', '-'});       // too short
    List("COM3", {0xFE, 'G', 'P', 'I', 'O', '-', '1'});  // error status
    AnswerRequests(List("COM4"), [badCrc](const Bytes &) { return testing::ScriptedReply{badCrc, 2}; });
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_STREQ("", name_);

    List("COM5", kIdentity);
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_STREQ("COM5", name_);
    ExpectEverythingReleased();
}

TEST_F(Discovery, BusyPortsAndPortsThatRefuseThePurgeArePassedOver)
{
    List("COM1", kIdentity).busy = true;
    List("COM2", kIdentity);
    List("COM3", kIdentity);
    line_.FailCall(Call::kPurge, 1);  // COM2's purge
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_STREQ("COM3", name_);
    EXPECT_TRUE(testing::RequestsWritten(line_.Port(1)).empty());
    ExpectEverythingReleased();
}

TEST_F(Discovery, NamesTooLongForThePortNameBufferAreSkippedNotCut)
{
    // "COM1234" fits (7 characters); "COM12345" would be cut to it.
    List("COM12345", kIdentity);
    List("COM1234", kIdentity);
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_STREQ("COM1234", name_);
    EXPECT_EQ(0, line_.Port(0).opens);
    EXPECT_EQ((std::vector<std::string>{"probe:COM1234"}), line_.openedPaths);
}

TEST_F(Discovery, AnUnreadableListGivesIoErrorAndClosesTheList)
{
    line_.FailCall(Call::kListOpen, 1);
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, Scan());
    EXPECT_TRUE(NameUntouched());

    List("COM1");
    line_.FailCall(Call::kListCount, 1);
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, Scan());
    EXPECT_TRUE(NameUntouched());
    ExpectEverythingReleased();
}

TEST_F(Discovery, AFailedEntryReadAtAnyIndexGivesIoErrorWithEverythingReleased)
{
    List("COM1");
    List("COM2");
    List("COM3", kIdentity);
    for (int failing = 1; failing <= 3; ++failing) {
        line_.FailCall(Call::kListRead, failing);
        line_.openedPaths.clear();
        EXPECT_EQ(GPIO_RESULT_IO_ERROR, Scan()) << failing;
        // The ports before the failing entry were probed.
        EXPECT_EQ(static_cast<std::size_t>(failing - 1), line_.openedPaths.size());
        ExpectEverythingReleased();
    }
}

TEST_F(Discovery, TheOpenInterfaceIsLeftAlone)
{
    // The open interface holds COM3 exclusively, so the probe's open of it
    // fails and discovery passes over it to the next port.
    ScriptedPort &device = List("COM3", kIdentity);
    List("COM5", kIdentity);
    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle));
    EXPECT_EQ(GPIO_RESULT_OK, Scan());
    EXPECT_STREQ("COM5", name_);
    EXPECT_EQ((std::vector<std::string>{"dev:COM3", "probe:COM3", "probe:COM5"}), line_.openedPaths);
    EXPECT_EQ(1, device.opens);
    EXPECT_TRUE(device.open);
    EXPECT_TRUE(device.written.empty());
    AnswerRequests(device, ReplyWith({0x00}));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(handle, 0, 0));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
}

}  // namespace
}  // namespace gpiolink
