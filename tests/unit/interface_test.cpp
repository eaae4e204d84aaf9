// Open and close over scripted services: the current handle and its rules.
#include <gtest/gtest.h>

#include "gpiolink.h"
#include "scripted_controller.h"

namespace gpiolink {
namespace {

using testing::Call;
using testing::ReplyWith;
using testing::ScriptedLine;

class Interface : public ::testing::Test {
protected:
    Interface()
    {
        line_.AddPort("dev:COM3");
        line_.AddPort("dev:COM4");
    }
    ~Interface() override
    {
        // Leave no current handle behind for the next test.
        HANDLE h = nullptr;
        GPIO_OpenInterface("COM3", &h);
        GPIO_CloseInterface(h);
    }
    ScriptedLine line_;
};

TEST_F(Interface, OpenBuildsTheDevicePathAndSetsTheLine)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle));
    EXPECT_EQ(std::vector<std::string>{"dev:COM3"}, line_.openedPaths);
    EXPECT_EQ(line_.HandleOf(0), handle);
    EXPECT_TRUE(line_.Port(0).configured);
    EXPECT_EQ(ModemLines::kDtrOnRtsOff, line_.Port(0).lines);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
    EXPECT_FALSE(line_.Port(0).open);
}

TEST_F(Interface, CloseRefusesNullAndRefusesTheSameHandleTwice)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_CloseInterface(nullptr));
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_CloseInterface(handle));
    EXPECT_EQ(1, line_.Calls(Call::kClose));
}

TEST_F(Interface, ASecondOpenReplacesTheCurrentHandleWithoutClosingTheFirst)
{
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &first));
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM4", &second));
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_CloseInterface(first));
    EXPECT_TRUE(line_.Port(0).open);
    testing::AnswerRequests(line_.Port(1), ReplyWith({0x00}));
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Output(first, 0, 1));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(second, 0, 1));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(second));
    line_.Port(0).open = false;  // the process would keep it until exit
}

TEST_F(Interface, AFailedOpenLeavesInvalidHandleValueCurrent)
{
    HANDLE good = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &good));
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("COM9", &handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    // The earlier handle is no longer current...
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Output(good, 0, 0));
    // ...INVALID_HANDLE_VALUE passes the check and fails at the purge...
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_Output(INVALID_HANDLE_VALUE, 0, 0));
    EXPECT_EQ(GPIO_RESULT_UNEXPECTED, GPIO_GetVersion(INVALID_HANDLE_VALUE, nullptr, 0));
    // ...and closes once, harmlessly, leaving no interface open.
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GPIO_RESULT_BAD_HANDLE, GPIO_CloseInterface(INVALID_HANDLE_VALUE));
    EXPECT_TRUE(line_.Port(0).written.empty());
    line_.Port(0).open = false;
}

TEST_F(Interface, BusyPortsAndFailedOpensGiveIoError)
{
    line_.Port(0).busy = true;
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("COM3", &handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    line_.FailCall(Call::kOpen, 1);
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("COM4", &handle));
    EXPECT_EQ(0, line_.OpenPortCount());
}

TEST_F(Interface, NamesThatDoNotFitTheDevicePathAreRefusedBeforeAnyOpen)
{
    // "dev:" + 15 characters fills the 20-byte path exactly.
    line_.AddPort("dev:ABCDEFGHIJKLMNO");
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("ABCDEFGHIJKLMNO", &handle));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
    line_.openedPaths.clear();

    handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("ABCDEFGHIJKLMNOP", &handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_TRUE(line_.openedPaths.empty());
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(INVALID_HANDLE_VALUE));
}

TEST_F(Interface, NamesThatCannotNameAPortAreRefusedBeforeAnyOpen)
{
    const char *const names[] = {"", "../COM3", "COM3/..", "/COM3", "\\COM3", "CO\\M3", ".."};
    for (const char *name : names) {
        HANDLE handle = nullptr;
        EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface(name, &handle)) << name;
        EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    }
    EXPECT_TRUE(line_.openedPaths.empty());
    // A name with a folder below the device prefix is fine ("pts/3").
    line_.AddPort("dev:pts/3");
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("pts/3", &handle));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
}

}  // namespace
}  // namespace gpiolink
