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

  ok = true;
  EXPECT_EQ(FreeBytes("missing/dir", &ok), 0u);
  EXPECT_FALSE(ok);

  ok = true;
  EXPECT_EQ(FreeBytes(nullptr, &ok), 0u);
  EXPECT_FALSE(ok);
}

TEST_F(PlatformTest, CreateExclusiveRefusesAnExistingFile) {
  int error = 0;
  const int fd = CreateExclusive("new.html", &error);
  ASSERT_GE(fd, 0) << "errno " << error;
  EXPECT_TRUE(CloseFd(fd, &error));

  error = 0;
  EXPECT_EQ(CreateExclusive("new.html", &error), -1);
  EXPECT_EQ(error, EEXIST);
}

TEST_F(PlatformTest, WriteAllReportsAFullDisk) {
  int error = 0;
  const int fd = OpenForWriteExisting("/dev/full", &error);
  ASSERT_GE(fd, 0) << "errno " << error;
  const std::string data(4096, 'x');
  EXPECT_FALSE(WriteAll(fd, data.data(), data.size(), &error));
  EXPECT_EQ(error, ENOSPC);
  CloseFd(fd, &error);
}

TEST_F(PlatformTest, WrittenBytesReadBackAndTruncate) {
  int error = 0;
  int fd = OpenForWriteTruncate("data.html", &error);
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
  EXPECT_FALSE(SameFile("a.html", "b.html"));
  EXPECT_FALSE(SameFile("a.html", "missing.html"));
  EXPECT_FALSE(SameFile("a.html", nullptr));
}

TEST_F(PlatformTest, DirectoryOpensButCannotBeRead) {
  EXPECT_TRUE(IsDirectory("c:/temp"));
  testing::WriteFile("file.html", "<p>");
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
  int error = 0;
  EXPECT_EQ(OpenForRead("missing.html", &error), -1);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(OpenForWriteExisting("missing.html", &error), -1);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(OpenForRead(nullptr, &error), -1);
  EXPECT_EQ(error, EFAULT);

  // Root passes permission bits, so the unreadable case runs as an unprivileged user.
  testing::WriteFile("secret.html", "<p>");
  ASSERT_EQ(::chmod("secret.html", 0200), 0);
  const int child_error = testing::RunUnprivileged([] {
    int open_error = 0;
    return OpenForRead("secret.html", &open_error) == -1 ? open_error : 0;
  });
  EXPECT_EQ(child_error, EACCES);
}

}  // namespace
}  // namespace zrtmask
