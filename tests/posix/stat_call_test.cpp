// The library's own fstatat (posix::fstatat, which makes the system call
// itself where glibc's symbol would need glibc 2.33) against the C
// library's fstat and lstat: the fields, the flags passed on, the errors.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>  // posix_openpt, unlockpt, ptsname

#include "link/system_calls_posix.h"

namespace gpiolink {
namespace {

void ExpectSameFile(const struct stat &expected, const struct stat &got)
{
    EXPECT_EQ(expected.st_dev, got.st_dev);
    EXPECT_EQ(expected.st_ino, got.st_ino);
    EXPECT_EQ(expected.st_mode, got.st_mode);
    EXPECT_EQ(expected.st_rdev, got.st_rdev);
    EXPECT_EQ(expected.st_size, got.st_size);
}

// The library's use: an open terminal by its descriptor alone, whose
// device number tells the ports apart; and a name in a folder.
TEST(StatCall, GivesWhatTheCLibraryGivesForADescriptorAndForNames)
{
    const int controller = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(controller, 0);
    ASSERT_EQ(unlockpt(controller), 0);
    const int terminal = open(ptsname(controller), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    struct stat expected {}, got {};
    ASSERT_EQ(fstat(terminal, &expected), 0);
    ASSERT_EQ(posix::fstatat(terminal, "", &got, AT_EMPTY_PATH), 0);
    ExpectSameFile(expected, got);
    EXPECT_TRUE(S_ISCHR(got.st_mode));
    close(terminal);
    close(controller);

    // /dev/stdin is a link: followed by default, not with AT_SYMLINK_NOFOLLOW.
    const int dev = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dev, 0);
    struct stat link {}, target {};
    ASSERT_EQ(lstat("/dev/stdin", &expected), 0);
    ASSERT_EQ(posix::fstatat(dev, "stdin", &link, AT_SYMLINK_NOFOLLOW), 0);
    ExpectSameFile(expected, link);
    ASSERT_EQ(posix::fstatat(dev, "null", &target, 0), 0);
    EXPECT_TRUE(S_ISCHR(target.st_mode) && target.st_rdev == makedev(1, 3));
    close(dev);
}

TEST(StatCall, ReportsFailuresThroughErrno)
{
    struct stat got {};
    errno = 0;
    EXPECT_EQ(posix::fstatat(AT_FDCWD, "/dev/no-such-gpiolink-port", &got, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(posix::fstatat(-1, "", &got, AT_EMPTY_PATH), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace gpiolink
