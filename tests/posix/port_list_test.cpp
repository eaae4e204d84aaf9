// The Linux port list: natural order, and a real read of /sys/class/tty.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/port_list_linux.h"

namespace gpiolink {
namespace {

TEST(PortList, NamesSortNaturally)
{
    EXPECT_LT(ComparePortNames("ttyS2", "ttyS10"), 0);
    EXPECT_GT(ComparePortNames("ttyS10", "ttyS9"), 0);
    EXPECT_LT(ComparePortNames("ttyACM0", "ttyS0"), 0);
    EXPECT_LT(ComparePortNames("ttyUSB1", "ttyUSB01x"), 0);
    EXPECT_EQ(0, ComparePortNames("ttyUSB3", "ttyUSB3"));
    EXPECT_LT(ComparePortNames("ttyS", "ttyS0"), 0);
    EXPECT_EQ(0, ComparePortNames("ttyS007", "ttyS7"));
}

TEST(PortList, ReadsTheSystemsPortsInOrder)
{
    PortListHandle list = nullptr;
    ASSERT_TRUE(LinuxOpenPortList(&list));
    std::uint32_t count = 0;
    ASSERT_TRUE(LinuxCountPortListEntries(list, &count));
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[kPortListEntrySize];
        ASSERT_TRUE(LinuxReadPortListEntry(list, i, name));
        names.emplace_back(name);
    }
    char name[kPortListEntrySize];
    EXPECT_FALSE(LinuxReadPortListEntry(list, count, name));
    LinuxClosePortList(list);
    for (std::size_t i = 1; i < names.size(); ++i) {
        EXPECT_LT(ComparePortNames(names[i - 1].c_str(), names[i].c_str()), 0);
    }
    // Virtual consoles and pseudo-terminals have no device behind them.
    for (const std::string &entry : names) {
        EXPECT_NE("tty0", entry);
        EXPECT_NE("ptmx", entry);
    }
}

}  // namespace
}  // namespace gpiolink
