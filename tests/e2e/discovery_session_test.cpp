// Discovery end to end on Linux: several simulated controllers on real
// pseudo-terminals, with the system's port list replaced by theirs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "gpiolink.h"
#include "fixed_port_list.h"
#include "pty_simulator.h"

namespace {

using gpio_sim::Behaviour;
using gpio_sim::PtySimulator;
using Clock = std::chrono::steady_clock;

class DiscoverySession : public ::testing::Test {
protected:
    gpiolink::testing::FixedPortList ports_;
};

TEST_F(DiscoverySession, FindsTheSecondOfThreePortsAndNeverOpensTheThird)
{
    PtySimulator silent;
    PtySimulator controller;
    PtySimulator later;
    silent.Script(Behaviour::Silence());
    ports_.Set({silent.PortName(), controller.PortName(), later.PortName()});
    char name[20] = "unchanged";
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_ScanInterface(name));
    EXPECT_EQ(controller.PortName(), name);
    EXPECT_EQ(1U, silent.RequestCount());
    EXPECT_EQ(0U, later.RequestCount());

    // The name found opens as the interface.
    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface(name, &handle));
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_Output(handle, 0, 1));
    // While it is open, discovery cannot open it and passes it over.
    ports_.Set({controller.PortName()});
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_ScanInterface(name));
    EXPECT_STREQ("", name);
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_CloseInterface(handle));
}

TEST_F(DiscoverySession, ThreeSilentPortsCostAbout120MsEach)
{
    PtySimulator a;
    PtySimulator b;
    PtySimulator c;
    for (PtySimulator *sim : {&a, &b, &c}) {
        sim->Script(Behaviour::Silence());
    }
    ports_.Set({a.PortName(), b.PortName(), c.PortName()});
    char name[20] = "unchanged";
    const auto start = Clock::now();
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_ScanInterface(name));
    const auto elapsed = Clock::now() - start;
    EXPECT_STREQ("", name);
    EXPECT_GE(elapsed, std::chrono::milliseconds(3 * 115));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
}

TEST_F(DiscoverySession, AnotherDeviceIsNotTheController)
{
    gpio_sim::SimOptions options;
    options.versionText = "OTHER 2.0";
    PtySimulator other(options);
    ports_.Set({other.PortName()});
    char name[20] = "unchanged";
    EXPECT_EQ(GPIO_RESULT_OK, GPIO_ScanInterface(name));
    EXPECT_STREQ("", name);
}

}  // namespace
