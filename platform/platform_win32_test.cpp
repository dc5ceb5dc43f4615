#include "platform/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/win32_files.h"
#include "testing/win32_test_support.h"

namespace vandrisk::platform {
namespace {

using win32_testing::list_dir;
using win32_testing::read_file;
using win32_testing::ScratchDir;
using win32_testing::write_file;

// Names a Windows build must never create or trust, each with what Windows
// would do with it instead.
const char* const kUnsafeNames[] = {
    "a:b",      // stream "b" of file "a"
    "x.",       // file "x"
    "x ",       // file "x"
    "nul.txt",  // the null device
    "CON",      // the console
    "com1",     // a serial port
    "a*b",      // a wildcard
    "a|b",
};

TEST(Win32PlatformTest, OsPathIsTheLocalPathItself) {
  EXPECT_EQ(to_os_path("D:\\data\\ftp\\a.zip"), "D:\\data\\ftp\\a.zip");
  EXPECT_EQ(to_os_path("rel/x\\y"), "rel/x\\y");
  EXPECT_EQ(to_os_path("\xD6\\\xD0"), "\xD6\\\xD0");
}

TEST(Win32PlatformTest, StdoutIsBinaryBeforeMainRuns) {
  // _setmode returns the mode it replaces: binary means the platform layer
  // already switched it, so "\r\n" reaches the console unchanged.
  std::fflush(stdout);
  EXPECT_EQ(_setmode(_fileno(stdout), _O_BINARY), _O_BINARY);
}

TEST(Win32PlatformTest, ExecutablePathIsThisTestBinary) {
  const std::string exe = executable_path();
  const std::string suffix = "\\vandrisk_win_tests.exe";
  ASSERT_GT(exe.size(), suffix.size());
  EXPECT_EQ(lstrcmpiA(exe.substr(exe.size() - suffix.size()).c_str(), suffix.c_str()), 0) << exe;
  EXPECT_EQ(local_kind(exe), LocalKind::kRegular);
}

TEST(Win32PlatformTest, LocalKindTellsKinds) {
  ScratchDir dir;
  write_file(dir / "file", "x");
  ASSERT_TRUE(CreateDirectoryA((dir / "sub").c_str(), nullptr));
  EXPECT_EQ(local_kind(dir / "file"), LocalKind::kRegular);
  EXPECT_EQ(local_kind(dir / "sub"), LocalKind::kDirectory);
  EXPECT_EQ(local_kind(dir.path()), LocalKind::kDirectory);
  EXPECT_EQ(local_kind(dir / "missing"), LocalKind::kMissing);
  EXPECT_EQ(local_kind(dir / "file\\below"), LocalKind::kMissing);
  EXPECT_EQ(local_kind(dir.path() + "/file"), LocalKind::kRegular);  // '/' works too
}

TEST(Win32PlatformTest, UnsafeNamesNeverLookPresent) {
  // "x." and "x " would find "x", "nul.txt" the null device: none of them is
  // the entry the walk asks about.
  ScratchDir dir;
  write_file(dir / "x", "x");
  write_file(dir / "a", "a");
  for (const char* name : kUnsafeNames) {
    EXPECT_EQ(local_kind(dir / name), LocalKind::kMissing) << name;
  }
}

TEST(Win32PlatformTest, MakeDirectoryNeedsParentAndFreeName) {
  ScratchDir dir;
  EXPECT_TRUE(make_directory(dir / "a"));
  EXPECT_EQ(local_kind(dir / "a"), LocalKind::kDirectory);
  EXPECT_FALSE(make_directory(dir / "a"));
  EXPECT_FALSE(make_directory(dir / "x\\y"));
  EXPECT_TRUE(make_directory(dir / "\xC4\xBF\xC2\xBC"));  // 目录
  EXPECT_EQ(list_dir(dir.path()), "a \xC4\xBF\xC2\xBC");
}

TEST(Win32PlatformTest, MakeDirectoryRefusesUnsafeNames) {
  ScratchDir dir;
  write_file(dir / "a", "a");
  for (const char* name : kUnsafeNames) {
    EXPECT_FALSE(make_directory(dir / name)) << name;
  }
  EXPECT_EQ(list_dir(dir.path()), "a");
  EXPECT_EQ(read_file(dir / "a"), "a");
}

TEST(Win32NewLocalFileTest, AppearsUnderItsNameOnlyWhenPublished) {
  ScratchDir dir;
  auto file = create_new_file(dir / "f.bin");
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("hello\r\n", 7));
  ASSERT_TRUE(file->write("world\n", 6));
  // Mid-transfer only the temporary sibling exists.
  const std::string during = list_dir(dir.path());
  EXPECT_EQ(during.find("f.bin"), std::string::npos) << during;
  EXPECT_EQ(during.rfind(".vandrisk-part-", 0), 0u) << during;
  ASSERT_TRUE(file->publish());
  file.reset();
  EXPECT_EQ(read_file(dir / "f.bin"), "hello\r\nworld\n");
  EXPECT_EQ(list_dir(dir.path()), "f.bin");
}

TEST(Win32NewLocalFileTest, DiscardedFileLeavesNothing) {
  ScratchDir dir;
  {
    auto file = create_new_file(dir / "f.bin");
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write("partial", 7));
  }
  EXPECT_EQ(list_dir(dir.path()), "");
}

TEST(Win32NewLocalFileTest, NeverReplacesAnExistingName) {
  ScratchDir dir;
  write_file(dir / "f.bin", "old");
  EXPECT_FALSE(create_new_file(dir / "f.bin"));

  // A name that appears while the transfer runs is not replaced either, and
  // the temporary file goes.
  auto file = create_new_file(dir / "g.bin");
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("new", 3));
  write_file(dir / "g.bin", "raced");
  EXPECT_FALSE(file->publish());
  file.reset();
  EXPECT_EQ(read_file(dir / "g.bin"), "raced");
  EXPECT_EQ(read_file(dir / "f.bin"), "old");
  EXPECT_EQ(list_dir(dir.path()), "f.bin g.bin");
}

TEST(Win32NewLocalFileTest, FailsWhereNoFileCanBeCreated) {
  ScratchDir dir;
  EXPECT_FALSE(create_new_file(dir / "missing\\f.bin"));
  write_file(dir / "a", "a");
  write_file(dir / "x", "x");
  for (const char* name : kUnsafeNames) {
    EXPECT_FALSE(create_new_file(dir / name)) << name;
  }
  EXPECT_EQ(list_dir(dir.path()), "a x");
  EXPECT_EQ(read_file(dir / "x"), "x");
}

TEST(Win32NewLocalFileTest, SkipsTemporaryNamesLeftBehind) {
  // A killed run leaves its temporary file; the next one must not fail on it
  // or take it over.
  ScratchDir dir;
  const std::string next = win32::temp_sibling_path(dir / "f.bin");
  // temp_sibling_path counts up: the next few names are predictable.
  const std::string prefix = next.substr(0, next.rfind('-') + 1);
  const unsigned n = static_cast<unsigned>(std::stoul(next.substr(prefix.size())));
  for (unsigned i = 1; i <= 3; ++i) write_file(prefix + std::to_string(n + i), "stale");
  auto file = create_new_file(dir / "f.bin");
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("fresh", 5));
  ASSERT_TRUE(file->publish());
  EXPECT_EQ(read_file(dir / "f.bin"), "fresh");
  for (unsigned i = 1; i <= 3; ++i) EXPECT_EQ(read_file(prefix + std::to_string(n + i)), "stale");
}

TEST(Win32FilesTest, TemporarySiblingsShareTheDirectoryAndDiffer) {
  const std::string a = win32::temp_sibling_path("D:\\data\\ftp\\name.zip");
  const std::string b = win32::temp_sibling_path("D:\\data\\ftp\\name.zip");
  EXPECT_EQ(a.rfind("D:\\data\\ftp\\.vandrisk-part-", 0), 0u) << a;
  EXPECT_NE(a, b);
  EXPECT_EQ(win32::temp_sibling_path("bare.zip").rfind(".vandrisk-part-", 0), 0u);
}

}  // namespace
}  // namespace vandrisk::platform
