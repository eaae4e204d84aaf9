// End to end on Linux: the names Linux users give a serial port. A whole
// session runs through the pty's absolute path, a long link in a folder of
// its own and a long name below /dev/; files and busy ports are refused.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "gpiolink.h"
#include "link/serial_services.h"
#include "pty_simulator.h"
#include "test_helpers.h"

namespace {

// Every operation once through `name`; the first failure, else "".
std::string Session(const std::string &name)
{
    HANDLE handle = nullptr;
    if (GPIO_OpenInterface(name.c_str(), &handle) != GPIO_RESULT_OK) {
        return "open";
    }
    std::string failed;
    char version[64];
    unsigned char value = 0;
    if (GPIO_GetVersion(handle, version, sizeof(version)) != GPIO_RESULT_OK ||
        std::string(version) != "GPIO-SIM 1.0") {
        failed = "version";
    } else if (GPIO_Output(handle, 1, 0x5A) != GPIO_RESULT_OK) {
        failed = "output";
    } else if (GPIO_Input(handle, 1, &value) != GPIO_RESULT_OK || value != 0x5A) {
        failed = "input";
    } else if (GPIO_BitSet(handle, 1, 7) != GPIO_RESULT_OK || GPIO_BitTest(handle, 1, 7) != GPIO_RESULT_BIT_HIGH) {
        failed = "bit-set";
    } else if (GPIO_BitReset(handle, 1, 7) != GPIO_RESULT_OK || GPIO_BitTest(handle, 1, 7) != GPIO_RESULT_BIT_LOW) {
        failed = "bit-reset";
    }
    GPIO_CloseInterface(handle);
    return failed;
}

class PortNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = gpiolink::testing::MakeScratchFolder("gpiolink-port-names");
        ASSERT_NE("", folder_);
    }
    void TearDown() override { gpiolink::testing::RemoveTree(folder_); }

    gpio_sim::PtySimulator sim_;
    std::string folder_;
};

TEST_F(PortNames, EveryOperationWorksThroughThePtysAbsolutePath)
{
    EXPECT_EQ("", Session(sim_.SlavePath()));
}

TEST_F(PortNames, EveryOperationWorksThroughALongLinkInAnyFolder)
{
    // As udev names an adapter below /dev/serial/by-id, or socat a link.
    const std::string byId = folder_ + "/serial/by-id";
    ASSERT_EQ(0, system(("mkdir -p '" + byId + "'").c_str()));
    const std::string link = byId + "/usb-gpiolink_Test_Controller_0123456789-if00-port0";
    ASSERT_GT(link.size(), 60U);
    ASSERT_EQ(0, symlink(sim_.SlavePath().c_str(), link.c_str()));
    EXPECT_EQ("", Session(link));
}

TEST_F(PortNames, EveryOperationWorksThroughALongNameBelowDev)
{
    if (access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "/dev/shm is not writable here: no place below /dev/ for a link";
    }
    const std::string name = "shm/" + folder_.substr(5) + "-usb-gpiolink_Test-if00-port0";
    ASSERT_GT(name.size(), 40U);
    const std::string link = "/dev/" + name;
    ASSERT_EQ(0, symlink(sim_.SlavePath().c_str(), link.c_str()));
    const std::string failed = Session(name);
    unlink(link.c_str());
    EXPECT_EQ("", failed);
}

TEST_F(PortNames, ARegularFileIsRefusedAndStaysEmptyAndABusyPortIsRefused)
{
    const std::string file = folder_ + "/not-a-port";
    std::fclose(std::fopen(file.c_str(), "w"));
    HANDLE handle = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface(file.c_str(), &handle));
    struct stat info {};
    ASSERT_EQ(0, stat(file.c_str(), &info));
    EXPECT_EQ(0, info.st_size);
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface(folder_.c_str(), &handle));  // a folder

    // The same port under another name is still the same, busy, port.
    const std::string link = folder_ + "/link";
    ASSERT_EQ(0, symlink(sim_.SlavePath().c_str(), link.c_str()));
    HANDLE first = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(sim_.SlavePath().c_str(), &first));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface(link.c_str(), &handle));
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface(sim_.PortName().c_str(), &handle));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(INVALID_HANDLE_VALUE));
    // The failed opens replaced the open interface: close the port itself.
    gpiolink::Services().closePort(first);
}

}  // namespace
