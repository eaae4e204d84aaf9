// The Linux port list: natural order, and the read of /sys/class/tty over a
// sysfs-like tree with known entries.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "link/linux_files.h"
#include "link/port_list_linux.h"
#include "link/system_calls_posix.h"
#include "test_helpers.h"

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

// The order the Python binding's sort is held to as well.
TEST(PortList, NamesSortInTheSharedOrder)
{
    std::ifstream file(GPIOLINK_PORT_ORDER);
    ASSERT_TRUE(file.is_open()) << GPIOLINK_PORT_ORDER;
    std::vector<std::string> names;
    for (std::string name; std::getline(file, name);) {
        if (!name.empty() && name[0] != '#') {
            names.push_back(name);
        }
    }
    ASSERT_GE(names.size(), 5U);
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = 0; j < names.size(); ++j) {
            const int order = ComparePortNames(names[i].c_str(), names[j].c_str());
            EXPECT_EQ(i < j, order < 0) << names[i] << " against " << names[j];
            EXPECT_EQ(i > j, order > 0) << names[i] << " against " << names[j];
        }
    }
}

// A sysfs-like tree in a temporary folder, reached through the port list's
// open of /sys/class/tty. Every other open is recorded.
class SysfsFixture {
public:
    SysfsFixture()
    {
        root_ = testing::MakeScratchFolder("gpiolink-sysfs");
        g_root = root_;
        g_otherOpens.clear();
        SetConsoles("");
        ReplaceSystemCall(&SystemCalls::open, Open);
        ReplaceSystemCall(&SystemCalls::openat, Openat);
    }
    ~SysfsFixture()
    {
        RestoreSystemCalls();
        testing::RemoveTree(root_);
    }
    SysfsFixture(const SysfsFixture &) = delete;
    SysfsFixture &operator=(const SysfsFixture &) = delete;

    // A tty entry; with a device behind it unless `device` is false, and
    // with a "type" attribute when `type` is given.
    void Add(const std::string &name, bool device = true, const char *type = nullptr)
    {
        const std::string entry = root_ + "/" + name;
        mkdir(entry.c_str(), 0755);
        if (device) {
            mkdir((entry + "/device").c_str(), 0755);
        }
        if (type != nullptr) {
            std::FILE *file = std::fopen((entry + "/type").c_str(), "w");
            std::fputs(type, file);
            std::fclose(file);
        }
    }

    // What /proc/consoles reads.
    void SetConsoles(const std::string &text) { std::ofstream(root_ + "/.consoles") << text; }

    static std::vector<std::string> g_otherOpens;

private:
    static int Openat(int directory, const char *path, int flags)
    {
        if (std::string(path) == "/proc/consoles") {
            return posix::open((g_root + "/.consoles").c_str(), flags);
        }
        return posix::openat(directory, path, flags);
    }
    static int Open(const char *path, int flags)
    {
        if (std::string(path) == "/sys/class/tty") {
            return posix::open(g_root.c_str(), flags);
        }
        g_otherOpens.emplace_back(path);
        return posix::open(path, flags);
    }
    static std::string g_root;
    std::string root_;
};
std::string SysfsFixture::g_root;
std::vector<std::string> SysfsFixture::g_otherOpens;

std::vector<std::string> ReadList()
{
    PortListHandle list = nullptr;
    EXPECT_TRUE(LinuxOpenPortList(&list));
    std::uint32_t count = 0;
    EXPECT_TRUE(LinuxCountPortListEntries(list, &count));
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[kPortListEntrySize];
        EXPECT_TRUE(LinuxReadPortListEntry(list, i, name));
        names.emplace_back(name);
    }
    char name[kPortListEntrySize];
    EXPECT_FALSE(LinuxReadPortListEntry(list, count, name));
    LinuxClosePortList(list);
    return names;
}

TEST(PortList, ReadsTheSystemsPortsInOrder)
{
    SysfsFixture sysfs;
    sysfs.Add("ttyUSB10");
    sysfs.Add("ttyS10", true, "4\n");
    sysfs.Add("tty0", false);  // virtual console: no device
    sysfs.Add("ptmx", false);
    sysfs.Add("ttyS1", true, "0\n");  // no UART fitted
    sysfs.Add("ttyUSB2");
    sysfs.Add("ttyXRUSB0");
    sysfs.Add("ttyS0", true, "4\n");
    sysfs.Add("ttyS2", true);  // type unreadable: the probe decides
    sysfs.Add("ttyACM0");
    sysfs.Add("ttyAMA0", true, "0\n");  // not a ttyS port: its type is not read
    sysfs.Add("ttyTHISNAMEHASTHIRTYTWOCHARACTERS");  // too long for the list: passed over

    EXPECT_EQ((std::vector<std::string>{"ttyACM0", "ttyAMA0", "ttyS0", "ttyS2", "ttyS10", "ttyUSB2", "ttyUSB10",
                                        "ttyXRUSB0"}),
              ReadList());
    // The UART check reads sysfs only: opening a port would raise its DTR
    // and RTS.
    EXPECT_TRUE(SysfsFixture::g_otherOpens.empty()) << SysfsFixture::g_otherOpens.front();
}

// The kernel's consoles are never probed: a frame would land among the
// kernel's messages. A port named like a console but longer is no console.
TEST(PortList, LeavesOutTheKernelsConsoles)
{
    SysfsFixture sysfs;
    for (const char *name : {"ttyS0", "ttyS1", "ttyS10", "ttyAMA0", "ttyUSB0"}) {
        sysfs.Add(name);
    }
    sysfs.SetConsoles("ttyS1                -W- (EC  p a)    4:65\nttyAMA0              -W- (E p a)  204:64\n");
    EXPECT_EQ((std::vector<std::string>{"ttyS0", "ttyS10", "ttyUSB0"}), ReadList());
}

// The folder's entries as the directory hands them over, in an order of the
// test's choosing: getdents64 replaced, everything else read from the tree.
std::vector<std::string> g_listing;
std::size_t g_listed = 0;

long ListInGivenOrder(int, void *buffer, std::size_t size)
{
    auto *bytes = static_cast<char *>(buffer);
    std::size_t used = 0;
    for (; g_listed < g_listing.size(); ++g_listed) {
        const std::string &name = g_listing[g_listed];
        const std::size_t length = (offsetof(DirectoryEntry, name) + name.size() + 1 + 7) / 8 * 8;
        if (used + length > size) {
            break;
        }
        auto *entry = reinterpret_cast<DirectoryEntry *>(bytes + used);
        entry->inode = g_listed + 1;
        entry->offset = static_cast<long long>(g_listed + 1);
        entry->length = static_cast<unsigned short>(length);
        entry->type = 4;  // a folder
        std::memcpy(entry->name, name.c_str(), name.size() + 1);
        used += length;
    }
    return static_cast<long>(used);
}

// More ports than the list holds: it keeps those discovery tries first, in
// natural order, however the directory orders its entries.
TEST(PortList, AFullListKeepsThePortsThatComeFirstInOrder)
{
    SysfsFixture sysfs;
    std::vector<std::string> natural;
    for (int i = 0; i < 50; ++i) {
        natural.push_back("ttyACM" + std::to_string(i));
    }
    for (int i = 0; i < 150; ++i) {
        natural.push_back("ttyUSB" + std::to_string(i));
    }
    for (const std::string &name : natural) {
        sysfs.Add(name);
    }
    const std::vector<std::string> kept(natural.begin(), natural.begin() + 128);

    std::vector<std::string> reversed(natural.rbegin(), natural.rend());
    std::vector<std::string> shuffled = natural;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
    for (const auto &order : {natural, reversed, shuffled}) {
        g_listing = order;
        g_listing.insert(g_listing.begin(), {".", ".."});
        g_listed = 0;
        ReplaceSystemCall(&SystemCalls::getdents64, ListInGivenOrder);
        EXPECT_EQ(kept, ReadList()) << "listed from " << order.front();
        EXPECT_EQ(g_listing.size(), g_listed) << "the folder was not read to its end";
    }
}

TEST(PortList, AnUnreadableFolderIsAFailure)
{
    ReplaceSystemCall(&SystemCalls::open, +[](const char *, int) {
        errno = EACCES;
        return -1;
    });
    PortListHandle list = nullptr;
    EXPECT_FALSE(LinuxOpenPortList(&list));
    ReplaceSystemCall(&SystemCalls::open, nullptr);
    ReplaceSystemCall(&SystemCalls::getdents64, +[](int, void *, std::size_t) -> long { return -1; });
    EXPECT_FALSE(LinuxOpenPortList(&list));
    RestoreSystemCalls();
}

}  // namespace
}  // namespace gpiolink
