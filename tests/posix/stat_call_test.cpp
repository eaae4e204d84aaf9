// The library's own fstatat (posix::fstatat, which makes the system call
// itself where glibc's symbol would need glibc 2.33) against what the C
// library's stat and fstat report for the same files: the fields the
// library reads, the flags it passes and the errors it gets.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/posix_system_calls.h"

namespace gpiolink {
namespace {

void ExpectSameFile(const struct stat &expected, const struct stat &got)
{
    EXPECT_EQ(expected.st_dev, got.st_dev);
    EXPECT_EQ(expected.st_ino, got.st_ino);
    EXPECT_EQ(expected.st_mode, got.st_mode);
    EXPECT_EQ(expected.st_nlink, got.st_nlink);
    EXPECT_EQ(expected.st_uid, got.st_uid);
    EXPECT_EQ(expected.st_gid, got.st_gid);
    EXPECT_EQ(expected.st_rdev, got.st_rdev);
    EXPECT_EQ(expected.st_size, got.st_size);
}

// A folder with a file and a link to it, removed at the end.
class StatCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/gpiolink-stat-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        file_ = folder_ + "/file";
        link_ = folder_ + "/link";
        std::FILE *out = std::fopen(file_.c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fputs("twelve bytes", out);
        std::fclose(out);
        ASSERT_EQ(symlink("file", link_.c_str()), 0);
    }
    void TearDown() override
    {
        unlink(link_.c_str());
        unlink(file_.c_str());
        rmdir(folder_.c_str());
    }

    std::string folder_, file_, link_;
};

TEST_F(StatCall, NamesAFileAsStatDoesAndFollowsLinksUnlessToldNot)
{
    struct stat expected {}, got {};
    ASSERT_EQ(stat(file_.c_str(), &expected), 0);
    ASSERT_EQ(posix::fstatat(AT_FDCWD, file_.c_str(), &got, 0), 0);
    ExpectSameFile(expected, got);
    EXPECT_EQ(got.st_size, 12);

    // Relative to a folder's descriptor, through the link.
    const int folder = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    struct stat followed {};
    ASSERT_EQ(posix::fstatat(folder, "link", &followed, 0), 0);
    ExpectSameFile(expected, followed);

    struct stat linkItself {}, lstatOfLink {};
    ASSERT_EQ(posix::fstatat(folder, "link", &linkItself, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(lstat(link_.c_str(), &lstatOfLink), 0);
    ExpectSameFile(lstatOfLink, linkItself);
    EXPECT_TRUE(S_ISLNK(linkItself.st_mode));
    close(folder);
}

TEST_F(StatCall, ReportsAMissingFileThroughErrno)
{
    struct stat got {};
    errno = 0;
    EXPECT_EQ(posix::fstatat(AT_FDCWD, (folder_ + "/none").c_str(), &got, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(posix::fstatat(-1, "", &got, AT_EMPTY_PATH), -1);
    EXPECT_EQ(errno, EBADF);
}

// The library's use: an open terminal by its descriptor alone, whose
// device number tells the port and the console apart.
TEST(StatCallOnDevices, GivesAnOpenTerminalsDeviceNumberAsFstatDoes)
{
    const int controller = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(controller, 0);
    ASSERT_EQ(grantpt(controller), 0);
    ASSERT_EQ(unlockpt(controller), 0);
    const int terminal = open(ptsname(controller), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    struct stat expected {}, got {};
    ASSERT_EQ(fstat(terminal, &expected), 0);
    ASSERT_EQ(posix::fstatat(terminal, "", &got, AT_EMPTY_PATH), 0);
    ExpectSameFile(expected, got);
    EXPECT_TRUE(S_ISCHR(got.st_mode));
    EXPECT_NE(got.st_rdev, 0U);
    close(terminal);
    close(controller);

    struct stat null {};
    ASSERT_EQ(posix::fstatat(AT_FDCWD, "/dev/null", &null, 0), 0);
    EXPECT_TRUE(S_ISCHR(null.st_mode));
    EXPECT_EQ(major(null.st_rdev), 1U);  // the memory devices, /dev/null is 1:3
    EXPECT_EQ(minor(null.st_rdev), 3U);
}

}  // namespace
}  // namespace gpiolink
