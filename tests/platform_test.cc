// Tests of the operating-system layer: errors are reported with the errno of the failing call.
#include "base/platform.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "testing/test_support.h"

namespace zrtmask {
namespace {

class PlatformTest : public testing::ScratchDirTest {};

TEST_F(PlatformTest, FreeBytesFailsOnlyForMissingPaths) {
  bool ok = false;
  FreeBytes(".", &ok);
  EXPECT_TRUE(ok);
  for (const char* path : {"missing/dir", static_cast<const char*>(nullptr)}) {
    ok = true;
    EXPECT_EQ(FreeBytes(path, &ok), 0u) << (path ? path : "null");
    EXPECT_FALSE(ok);
  }
}

TEST_F(PlatformTest, CreateExclusiveRefusesAnExistingFileAndSetsTheMode) {
  int error = 0;
  const int fd = CreateExclusive("new.html", 0600, &error);
  ASSERT_GE(fd, 0) << "errno " << error;
  EXPECT_TRUE(CloseFd(fd, &error));
  struct stat info;
  ASSERT_EQ(::stat("new.html", &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(CreateExclusive("new.html", 0600, &error), -1);
  EXPECT_EQ(error, EEXIST);
}

// A lock separates two descriptors of one process as it separates processes; the wait ends.
TEST_F(PlatformTest, LocksSeparateDescriptorsAndTimeOut) {
  testing::WriteFile("t.html", "<p>");
  int error = 0;
  const int first = OpenForRead("t.html", &error);
  const int second = OpenForRead("t.html", &error);
  ASSERT_TRUE(LockFd(first, false, 0, &error));
  EXPECT_TRUE(LockFd(second, false, 0, &error));
  CloseFd(second, &error);
  const int third = OpenForRead("t.html", &error);
  EXPECT_FALSE(LockFd(third, true, 20, &error));
  EXPECT_EQ(error, EWOULDBLOCK);
  CloseFd(first, &error);
  EXPECT_TRUE(LockFd(third, true, 0, &error));
  CloseFd(third, &error);
}

// The seam fails the nth matching call with its errno, and only that one.
TEST_F(PlatformTest, ArmedFaultFailsTheNthMatchingCall) {
  testing::WriteFile("t.html", "<p>");
  ArmFault(Call::kRead, 2, EIO, "t.html");
  ArmFault(Call::kAccess, 1, EACCES, "t.html");
  int error = 0;
  const int fd = OpenForRead("t.html", &error);
  const int other = OpenForRead("c:/temp", &error);
  char buffer[4];
  EXPECT_EQ(ReadSome(other, buffer, 1, &error), -1);  // EISDIR, not counted
  EXPECT_EQ(ReadSome(fd, buffer, 1, &error), 1);
  EXPECT_EQ(ReadSome(fd, buffer, 1, &error), -1);
  EXPECT_EQ(error, EIO);
  EXPECT_EQ(ReadSome(fd, buffer, 1, &error), 1);
  EXPECT_FALSE(PathAccess("t.html", 0));
  EXPECT_TRUE(PathAccess("t.html", 0));
  DisarmFaults();
  CloseFd(fd, &error);
  CloseFd(other, &error);
}

TEST_F(PlatformTest, WriteAllReportsAFullDisk) {
  int error = 0;
  const int fd = OpenForWriteExisting("/dev/full", &error);
  ASSERT_GE(fd, 0) << "errno " << error;
  EXPECT_FALSE(WriteAll(fd, std::string(4096, 'x').data(), 4096, &error));
  EXPECT_EQ(error, ENOSPC);
  CloseFd(fd, &error);
}

TEST_F(PlatformTest, WrittenBytesReadBackAndTruncate) {
  int error = 0;
  int fd = CreateExclusive("data.html", 0644, &error);
  ASSERT_GE(fd, 0) << "errno " << error;
  ASSERT_TRUE(WriteAll(fd, "<p>abc</p>", 10, &error));
  ASSERT_TRUE(TruncateFd(fd, 6, &error));
  ASSERT_TRUE(CloseFd(fd, &error));
  EXPECT_EQ(testing::ReadFile("data.html"), "<p>abc");
  fd = OpenForRead("data.html", &error);
  ASSERT_GE(fd, 0) << "errno " << error;
  char buffer[16];
  EXPECT_EQ(ReadSome(fd, buffer, sizeof buffer, &error), 6);
  EXPECT_EQ(ReadSome(fd, buffer, sizeof buffer, &error), 0);
  CloseFd(fd, &error);
  EXPECT_TRUE(RemoveFile("data.html", &error));
  EXPECT_FALSE(RemoveFile("data.html", &error));
  EXPECT_EQ(error, ENOENT);
}

TEST_F(PlatformTest, SameFileFollowsHardLinks) {
  testing::WriteFile("a.html", "<p>");
  testing::WriteFile("b.html", "<p>");
  ASSERT_EQ(::link("a.html", "linked.html"), 0);
  EXPECT_TRUE(SameFile("a.html", "linked.html"));
  for (const char* other : {"b.html", "missing.html", static_cast<const char*>(nullptr)}) {
    EXPECT_FALSE(SameFile("a.html", other)) << (other ? other : "null");
  }
}

TEST_F(PlatformTest, DirectoryOpensButCannotBeRead) {
  testing::WriteFile("file.html", "<p>");
  EXPECT_TRUE(IsDirectory("c:/temp"));
  EXPECT_FALSE(IsDirectory("file.html"));
  EXPECT_FALSE(IsDirectory("missing"));
  int error = 0;
  const int fd = OpenForRead("c:/temp", &error);
  ASSERT_GE(fd, 0) << "errno " << error;
  char buffer[16];
  EXPECT_EQ(ReadSome(fd, buffer, sizeof buffer, &error), -1);
  EXPECT_EQ(error, EISDIR);
  CloseFd(fd, &error);
}

TEST_F(PlatformTest, OpenFailuresCarryTheirErrno) {
  const auto open_error = [](int (*open)(const char*, int*), const char* path) {
    int error = 0;
    return open(path, &error) == -1 ? error : 0;
  };
  EXPECT_EQ(open_error(OpenForRead, "missing.html"), ENOENT);
  EXPECT_EQ(open_error(OpenForWriteExisting, "missing.html"), ENOENT);
  EXPECT_EQ(open_error(OpenForRead, nullptr), EFAULT);
  // Root passes permission bits, so the unreadable case runs as an unprivileged user.
  testing::WriteFile("secret.html", "<p>");
  ASSERT_EQ(::chmod("secret.html", 0200), 0);
  EXPECT_EQ(testing::RunUnprivileged([&] { return open_error(OpenForRead, "secret.html"); }),
            EACCES);
}

}  // namespace
}  // namespace zrtmask
