// --link against a racer who swaps the link's folder for a link to another
// folder between the tool's check of the old link and its replacement or
// removal: the work must stay on the name that was checked.
//
// The racer moves just before the first call that changes a folder. This
// program defines those calls itself (the C library's names, made as raw
// system calls), so the tools' code, linked into it, calls these; a test
// arms the racer, and unarmed they only pass the call on.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <utility>

#include "port_link.h"
#include "test_helpers.h"

namespace {

std::function<void()> g_racer;

void RacerMoves()
{
    if (g_racer) {
        const std::function<void()> racer = std::move(g_racer);
        g_racer = nullptr;
        racer();
    }
}

int Call(long result) { return static_cast<int>(result); }

}  // namespace

extern "C" {
int unlink(const char *path) noexcept
{
    RacerMoves();
    return Call(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}
int unlinkat(int folder, const char *path, int flags) noexcept
{
    RacerMoves();
    return Call(syscall(SYS_unlinkat, folder, path, flags));
}
int symlink(const char *target, const char *path) noexcept
{
    RacerMoves();
    return Call(syscall(SYS_symlinkat, target, AT_FDCWD, path));
}
int symlinkat(const char *target, int folder, const char *path) noexcept
{
    RacerMoves();
    return Call(syscall(SYS_symlinkat, target, folder, path));
}
int rename(const char *from, const char *to) noexcept
{
    RacerMoves();
    return Call(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}
int renameat(int fromFolder, const char *from, int toFolder, const char *to) noexcept
{
    RacerMoves();
    return Call(syscall(SYS_renameat2, fromFolder, from, toFolder, to, 0));
}
}

namespace gpio_tools {
namespace {

constexpr const char *kPty = "/dev/pts/5";

// root/a holds the link; root/victim a file of the same name that is not
// the tools' to touch.
class PortLinkRace : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = gpiolink::testing::MakeScratchFolder("gpio-link-test");
        ASSERT_NE("", root_);
        ASSERT_EQ(0, mkdir((root_ + "/a").c_str(), 0700));
        ASSERT_EQ(0, mkdir((root_ + "/victim").c_str(), 0700));
    }
    void TearDown() override
    {
        g_racer = nullptr;
        gpiolink::testing::RemoveTree(root_);
    }

    // The racer's move: root/a goes to root/a-moved, and root/a becomes a
    // link to root/victim.
    void ArmRacer()
    {
        g_racer = [this] {
            raced_ = std::rename((root_ + "/a").c_str(), (root_ + "/a-moved").c_str()) == 0 &&
                     symlink((root_ + "/victim").c_str(), (root_ + "/a").c_str()) == 0;
        };
    }

    std::string LinkTarget(const std::string &path) const
    {
        char buffer[256];
        const ssize_t n = readlink((root_ + path).c_str(), buffer, sizeof(buffer));
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

    std::string root_;
    bool raced_ = false;
};

TEST_F(PortLinkRace, ReplacesTheCheckedLinkNotOneInTheFolderSwappedIn)
{
    ASSERT_EQ(0, symlink("/dev/pts/999999", (root_ + "/a/port").c_str()));  // left by an earlier run
    std::ofstream(root_ + "/victim/port") << "keep me";
    ArmRacer();
    PortLink link;
    ASSERT_TRUE(link.Create("test", root_ + "/a/port", kPty));
    ASSERT_TRUE(raced_);
    struct stat info {};
    ASSERT_EQ(0, lstat((root_ + "/victim/port").c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode)) << "the file in the folder swapped in was replaced";
    EXPECT_EQ(kPty, LinkTarget("/a-moved/port"));
    link.Remove();
    EXPECT_EQ("", LinkTarget("/a-moved/port"));
}

TEST_F(PortLinkRace, RemovesTheLinkItMadeNotOneInTheFolderSwappedIn)
{
    PortLink link;
    ASSERT_TRUE(link.Create("test", root_ + "/a/port", kPty));
    // The user's own link in the other folder, to the same pty.
    ASSERT_EQ(0, symlink(kPty, (root_ + "/victim/port").c_str()));
    ArmRacer();
    link.Remove();
    ASSERT_TRUE(raced_);
    EXPECT_EQ(kPty, LinkTarget("/victim/port")) << "the link in the folder swapped in was removed";
    EXPECT_EQ("", LinkTarget("/a-moved/port"));
}

// --link over an existing link: one a run of the tools left behind (to a
// pts entry) is replaced; one to the folder /dev/pts itself, or to any
// other place, is the user's and stays as it is.
using PortLinkOverALink = PortLinkRace;

TEST_F(PortLinkOverALink, ReplacesALinkToAPtyAndLeavesALinkToThePtsFolderAlone)
{
    const std::string port = root_ + "/a/port";
    for (const char *users : {"/dev/pts/", "/dev/pts", "/dev/pts/.", "/dev/ptmx"}) {
        ASSERT_EQ(0, symlink(users, port.c_str()));
        PortLink link;
        EXPECT_FALSE(link.Create("test", port, kPty)) << users;
        EXPECT_EQ(users, LinkTarget("/a/port")) << "a link to " << users << " was replaced";
        ASSERT_EQ(0, unlink(port.c_str()));
    }
    ASSERT_EQ(0, symlink("/dev/pts/12", port.c_str()));
    PortLink link;
    ASSERT_TRUE(link.Create("test", port, kPty));
    EXPECT_EQ(kPty, LinkTarget("/a/port"));
}

TEST(PortLink, OnlyALinkToAPtsEntryIsThePtyKind)
{
    for (const char *target : {"/dev/pts/0", "/dev/pts/17"}) {
        EXPECT_TRUE(IsPtyLinkTarget(target)) << target;
    }
    for (const char *target : {"/dev/pts/", "/dev/pts", "/dev/pts/ptmx", "/dev/pts/1/", "/dev/pts/../tty1",
                               "/dev/pts/1x", "/dev/ptmx", "pts/1", "/tmp/dev/pts/1", ""}) {
        EXPECT_FALSE(IsPtyLinkTarget(target)) << target;
    }
}

}  // namespace
}  // namespace gpio_tools
