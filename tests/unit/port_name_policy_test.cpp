// The platform's own rules for port names, taken from its services table
// onto scripted ports: which names open which paths, how long they may be,
// and which names discovery reports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gpiolink.h"
#include "scripted_controller.h"

namespace gpiolink {
namespace {

using testing::AnswerRequests;
using testing::Bytes;
using testing::ReplyWith;
using testing::ScriptedLine;

const Bytes kIdentity = {0x00, 'G', 'P', 'I', 'O', '-', '7'};

class PortNamePolicy : public ::testing::Test {
protected:
    PortNamePolicy()
    {
        // The scripted line with the platform's prefixes and limits.
        SerialServices table = Services();
        const SerialServices &platform = DefaultServices();
        table.devicePathPrefix = platform.devicePathPrefix;
        table.probePathPrefix = platform.probePathPrefix;
        table.portNameForbidden = platform.portNameForbidden;
        table.devicePathSize = platform.devicePathSize;
        table.rootedNamesArePaths = platform.rootedNamesArePaths;
        table.discoveredNameSize = platform.discoveredNameSize;
        ReplaceServices(&table);
    }

    // Opens `name` and closes it again; the result of the open.
    int OpenAndClose(const std::string &name)
    {
        HANDLE handle = nullptr;
        const int result = GPIO_OpenInterface(name.c_str(), &handle);
        GPIO_CloseInterface(handle);
        return result;
    }

    // Lists the names, each answering as the controller; what scan reports.
    std::string Scan(const std::vector<std::string> &names)
    {
        for (const std::string &name : names) {
            line_.portList.push_back(name);
            AnswerRequests(line_.AddPort(DefaultServices().probePathPrefix + name), ReplyWith(kIdentity));
        }
        char found[20];
        std::memset(found, '#', sizeof(found));
        EXPECT_EQ(GPIO_RESULT_OK, GPIO_ScanInterface(found));
        EXPECT_NE(nullptr, std::memchr(found, '\0', sizeof(found)));
        return found;
    }

    ScriptedLine line_;
};

#ifdef _WIN32

TEST_F(PortNamePolicy, WindowsOpensUpTo15CharactersBelowTheDeviceNamespaceOnly)
{
    line_.AddPort("\\\\.\\COM123456789012");
    EXPECT_EQ(GPIO_RESULT_OK, OpenAndClose("COM123456789012"));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, OpenAndClose("COM1234567890123"));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, OpenAndClose("/dev/ttyS0"));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, OpenAndClose(""));
    EXPECT_EQ((std::vector<std::string>{"\\\\.\\COM123456789012"}), line_.openedPaths);
}

TEST_F(PortNamePolicy, WindowsDiscoveryReportsNamesOfUpTo7Characters)
{
    EXPECT_EQ("COM1234", Scan({"COM12345", "COM1234"}));
}

#else

TEST_F(PortNamePolicy, RootedNamesArePathsAndOtherNamesLieBelowDev)
{
    const std::string byId = "serial/by-id/usb-Example_USB_Serial_A10KQ3XZ-if00-port0";
    const std::string link = "/tmp/gpiolink-test-links-in-a-folder-of-their-own/serial/by-id/usb-Example_Adapter-if00-port0";
    for (const std::string &path : {std::string("/dev/pts/3"), "/dev/" + byId, link}) {
        line_.AddPort(path);
    }
    EXPECT_EQ(GPIO_RESULT_OK, OpenAndClose("/dev/pts/3"));
    EXPECT_EQ(GPIO_RESULT_OK, OpenAndClose("pts/3"));
    EXPECT_EQ(GPIO_RESULT_OK, OpenAndClose(byId));
    EXPECT_EQ(GPIO_RESULT_OK, OpenAndClose("/dev/" + byId));
    EXPECT_EQ(GPIO_RESULT_OK, OpenAndClose(link));
    EXPECT_EQ((std::vector<std::string>{"/dev/pts/3", "/dev/pts/3", "/dev/" + byId, "/dev/" + byId, link}),
              line_.openedPaths);

    // Below /dev/, a name still may not climb out, and none may be empty.
    line_.openedPaths.clear();
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, OpenAndClose("../tmp/port"));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, OpenAndClose("serial/../../tmp/port"));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, OpenAndClose(""));
    EXPECT_TRUE(line_.openedPaths.empty());
}

TEST_F(PortNamePolicy, PathsUpToTheSystemsLimitAreTriedAndLongerOnesRefusedBeforeAnyOpen)
{
    // 4095 characters and the terminator fill the path buffer exactly.
    const std::string rooted = "/" + std::string(4094, 'r');
    const std::string relative(4095 - std::strlen("/dev/"), 'd');
    line_.AddPort(rooted);
    line_.AddPort("/dev/" + relative);
    EXPECT_EQ(GPIO_RESULT_OK, OpenAndClose(rooted));
    EXPECT_EQ(GPIO_RESULT_OK, OpenAndClose(relative));
    EXPECT_EQ(2U, line_.openedPaths.size());

    line_.openedPaths.clear();
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface((rooted + "r").c_str(), &handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface((relative + "d").c_str(), &handle));
    EXPECT_TRUE(line_.openedPaths.empty());
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(INVALID_HANDLE_VALUE));
}

TEST_F(PortNamePolicy, LinuxDiscoveryReportsNamesOfUpTo19Characters)
{
    // 20 characters would fill the caller's buffer without a terminator.
    EXPECT_EQ("ttyUSB1234567890123", Scan({"ttyUSB12345678901234", "ttyUSB1234567890123"}));
    EXPECT_EQ(0, line_.Port(0).opens);
}

TEST_F(PortNamePolicy, LinuxDiscoveryFindsTheNamesThatWindowsLimitsMissed)
{
    for (const char *name : {"ttyUSB10", "ttyACM10", "ttyXRUSB0"}) {
        ScriptedLine::Current().portList.clear();
        EXPECT_EQ(name, Scan({name}));
    }
}

#endif

}  // namespace
}  // namespace gpiolink
