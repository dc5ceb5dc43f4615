#include "platform/platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace vandrisk::platform {
namespace {

TEST(PlatformTest, LocalPathsMapBackslashesOnly) {
  EXPECT_EQ(to_os_path("\\tmp\\a b\\c.zip"), "/tmp/a b/c.zip");
  EXPECT_EQ(to_os_path("rel\\x"), "rel/x");
  EXPECT_EQ(to_os_path("\xD6\\\xD0"), "\xD6/\xD0");
}

TEST(PlatformTest, LocalKindFollowsLinksAndTellsKinds) {
  testing::ScratchDir dir;
  const std::string base = dir.path() + "/";
  testing::write_file(base + "file", "x");
  ASSERT_EQ(::mkdir((base + "dir").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((base + "fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("dir", (base + "link_to_dir").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (base + "dangling").c_str()), 0);
  const std::string local = dir.local() + "\\";
  EXPECT_EQ(local_kind(local + "file"), LocalKind::kRegular);
  EXPECT_EQ(local_kind(local + "dir"), LocalKind::kDirectory);
  EXPECT_EQ(local_kind(local + "fifo"), LocalKind::kOther);
  EXPECT_EQ(local_kind(local + "link_to_dir"), LocalKind::kDirectory);
  EXPECT_EQ(local_kind(local + "dangling"), LocalKind::kMissing);
  EXPECT_EQ(local_kind(local + "missing"), LocalKind::kMissing);
  EXPECT_EQ(local_kind(local + "file\\below"), LocalKind::kMissing);
}

TEST(PlatformTest, MakeDirectoryNeedsParentAndFreeName) {
  testing::ScratchDir dir;
  EXPECT_TRUE(make_directory(dir.local() + "\\a"));
  EXPECT_FALSE(make_directory(dir.local() + "\\a"));
  EXPECT_FALSE(make_directory(dir.local() + "\\x\\y"));
}

TEST(NewLocalFileTest, AppearsUnderItsNameOnlyWhenPublished) {
  testing::ScratchDir dir;
  const std::string target = dir.path() + "/f.bin";
  auto file = create_new_file(dir.local() + "\\f.bin");
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("hello ", 6));
  ASSERT_TRUE(file->write("world", 5));
  EXPECT_EQ(testing::list_dir(dir.path()), "");  // nothing visible mid-transfer
  ASSERT_TRUE(file->publish());
  file.reset();
  EXPECT_EQ(testing::read_file(target), "hello world");
  EXPECT_EQ(testing::list_dir(dir.path()), "f.bin");
}

TEST(NewLocalFileTest, DiscardedFileLeavesNothing) {
  testing::ScratchDir dir;
  {
    auto file = create_new_file(dir.local() + "\\f.bin");
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write("partial", 7));
  }
  EXPECT_EQ(testing::list_dir(dir.path()), "");
}

TEST(NewLocalFileTest, NeverReplacesAnExistingName) {
  testing::ScratchDir dir;
  const std::string target = dir.path() + "/f.bin";
  testing::write_file(target, "old");
  EXPECT_FALSE(create_new_file(dir.local() + "\\f.bin"));

  // A name that appears while the transfer runs is not replaced either.
  auto file = create_new_file(dir.local() + "\\g.bin");
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("new", 3));
  testing::write_file(dir.path() + "/g.bin", "raced");
  EXPECT_FALSE(file->publish());
  file.reset();
  EXPECT_EQ(testing::read_file(dir.path() + "/g.bin"), "raced");
  EXPECT_EQ(testing::read_file(target), "old");
  EXPECT_EQ(testing::list_dir(dir.path()), "f.bin g.bin");
}

TEST(NewLocalFileTest, FailsWhereNoFileCanBeCreated) {
  testing::ScratchDir dir;
  EXPECT_FALSE(create_new_file(dir.local() + "\\missing\\f.bin"));
  ASSERT_EQ(::mkfifo((dir.path() + "/fifo").c_str(), 0644), 0);
  EXPECT_FALSE(create_new_file(dir.local() + "\\fifo"));
}

TEST(PlatformTest, ExecutablePathIsThisTestBinary) {
  const std::string exe = executable_path();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.front(), '/');
  EXPECT_EQ(::access(exe.c_str(), X_OK), 0);
}

}  // namespace
}  // namespace vandrisk::platform
