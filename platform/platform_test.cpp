// The platform layer of whichever OS the tests are built for; the cases only
// one OS has are marked.
#include "platform/platform.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include "platform/win32_files.h"
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <string>

#include "testing/test_support.h"

namespace vandrisk::platform {
namespace {

using test::list_dir;
using test::read_file;
using test::ScratchDir;
using test::write_file;

TEST(PlatformTest, LocalKindTellsKinds) {
  ScratchDir dir;
  write_file(dir.os("file"), "x");
  test::make_dir(dir.os("dir"));
  EXPECT_EQ(local_kind(dir.local("file")), LocalKind::kRegular);
  EXPECT_EQ(local_kind(dir.local("dir")), LocalKind::kDirectory);
  EXPECT_EQ(local_kind(dir.local()), LocalKind::kDirectory);
  EXPECT_EQ(local_kind(dir.local("missing")), LocalKind::kMissing);
  EXPECT_EQ(local_kind(dir.local("file\\below")), LocalKind::kMissing);
#ifdef _WIN32
  EXPECT_EQ(local_kind(dir.path() + "/file"), LocalKind::kRegular);  // '/' works too
#else
  // Links are followed, like stat(); a FIFO is "other".
  ASSERT_EQ(::mkfifo(dir.os("fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("dir", dir.os("link_to_dir").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dir.os("dangling").c_str()), 0);
  EXPECT_EQ(local_kind(dir.local("fifo")), LocalKind::kOther);
  EXPECT_EQ(local_kind(dir.local("link_to_dir")), LocalKind::kDirectory);
  EXPECT_EQ(local_kind(dir.local("dangling")), LocalKind::kMissing);
#endif
}

TEST(PlatformTest, MakeDirectoryNeedsParentAndFreeName) {
  ScratchDir dir;
  EXPECT_TRUE(make_directory(dir.local("a")));
  EXPECT_EQ(local_kind(dir.local("a")), LocalKind::kDirectory);
  EXPECT_FALSE(make_directory(dir.local("a")));
  EXPECT_FALSE(make_directory(dir.local("x\\y")));
  EXPECT_TRUE(make_directory(dir.local("\xC4\xBF\xC2\xBC")));  // 目录
  EXPECT_EQ(list_dir(dir.path()), "a \xC4\xBF\xC2\xBC");
}

TEST(NewLocalFileTest, AppearsUnderItsNameOnlyWhenPublished) {
  ScratchDir dir;
  auto file = create_new_file(dir.local("f.bin"));
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("hello\r\n", 7));
  ASSERT_TRUE(file->write("world\n", 6));
  // Mid-transfer nothing carries the final name (POSIX: nothing at all shows;
  // Windows: only a temporary sibling).
  const std::string during = list_dir(dir.path());
  EXPECT_EQ(during.find("f.bin"), std::string::npos) << during;
#ifdef _WIN32
  EXPECT_EQ(during.rfind(".vandrisk-part-", 0), 0u) << during;
#else
  EXPECT_EQ(during, "");
#endif
  ASSERT_TRUE(file->publish());
  file.reset();
  EXPECT_EQ(read_file(dir.os("f.bin")), "hello\r\nworld\n");
  EXPECT_EQ(list_dir(dir.path()), "f.bin");
}

TEST(NewLocalFileTest, RestartEmptiesTheFile) {
  ScratchDir dir;
  auto file = create_new_file(dir.local("f.bin"));
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("stale half", 10));
  ASSERT_TRUE(file->restart());
  ASSERT_TRUE(file->write("fresh", 5));
  ASSERT_TRUE(file->publish());
  file.reset();
  EXPECT_EQ(read_file(dir.os("f.bin")), "fresh");
}

TEST(NewLocalFileTest, DiscardedFileLeavesNothing) {
  ScratchDir dir;
  {
    auto file = create_new_file(dir.local("f.bin"));
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write("partial", 7));
  }
  EXPECT_EQ(list_dir(dir.path()), "");
}

TEST(NewLocalFileTest, NeverReplacesAnExistingName) {
  ScratchDir dir;
  write_file(dir.os("f.bin"), "old");
  LocalError error;
  EXPECT_FALSE(create_new_file(dir.local("f.bin"), &error));
  EXPECT_STREQ(error.operation, "create");

  // A name that appears while the transfer runs is not replaced either, and
  // the temporary file goes.
  auto file = create_new_file(dir.local("g.bin"));
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("new", 3));
  write_file(dir.os("g.bin"), "raced");
  EXPECT_FALSE(file->publish());
  EXPECT_STREQ(file->error().operation, "publish");
  file.reset();
  EXPECT_EQ(read_file(dir.os("g.bin")), "raced");
  EXPECT_EQ(read_file(dir.os("f.bin")), "old");
  EXPECT_EQ(list_dir(dir.path()), "f.bin g.bin");
}

TEST(NewLocalFileTest, FailsWhereNoFileCanBeCreated) {
  ScratchDir dir;
  LocalError error;
  EXPECT_FALSE(create_new_file(dir.local("missing\\f.bin"), &error));
  EXPECT_STREQ(error.operation, "create");
  EXPECT_NE(error.code, 0);
#ifndef _WIN32
  ASSERT_EQ(::mkfifo(dir.os("fifo").c_str(), 0644), 0);
  EXPECT_FALSE(create_new_file(dir.local("fifo")));
#endif
}

#ifdef _WIN32
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
  const std::string suffix = "\\vandrisk_tests.exe";
  ASSERT_GT(exe.size(), suffix.size());
  EXPECT_EQ(lstrcmpiA(exe.substr(exe.size() - suffix.size()).c_str(), suffix.c_str()), 0) << exe;
  EXPECT_EQ(local_kind(exe), LocalKind::kRegular);
}

TEST(Win32PlatformTest, UnsafeNamesNeverLookPresent) {
  // "x." and "x " would find "x", "nul.txt" the null device: none of them is
  // the entry the walk asks about.
  ScratchDir dir;
  write_file(dir.os("x"), "x");
  write_file(dir.os("a"), "a");
  for (const char* name : kUnsafeNames) {
    EXPECT_EQ(local_kind(dir.local(name)), LocalKind::kMissing) << name;
  }
}

TEST(Win32PlatformTest, MakeDirectoryRefusesUnsafeNames) {
  ScratchDir dir;
  write_file(dir.os("a"), "a");
  for (const char* name : kUnsafeNames) {
    EXPECT_FALSE(make_directory(dir.local(name))) << name;
  }
  EXPECT_EQ(list_dir(dir.path()), "a");
  EXPECT_EQ(read_file(dir.os("a")), "a");
}

TEST(Win32NewLocalFileTest, UnsafeNamesAreNeverCreated) {
  ScratchDir dir;
  write_file(dir.os("a"), "a");
  write_file(dir.os("x"), "x");
  for (const char* name : kUnsafeNames) {
    EXPECT_FALSE(create_new_file(dir.local(name))) << name;
  }
  EXPECT_EQ(list_dir(dir.path()), "a x");
  EXPECT_EQ(read_file(dir.os("x")), "x");
}

TEST(Win32NewLocalFileTest, SkipsTemporaryNamesLeftBehind) {
  // A killed run leaves its temporary file; the next one must not fail on it
  // or take it over.
  ScratchDir dir;
  const std::string next = win32::temp_sibling_path(dir.local("f.bin"));
  // temp_sibling_path counts up: the next few names are predictable.
  const std::string prefix = next.substr(0, next.rfind('-') + 1);
  const unsigned n = static_cast<unsigned>(std::stoul(next.substr(prefix.size())));
  for (unsigned i = 1; i <= 3; ++i) write_file(prefix + std::to_string(n + i), "stale");
  auto file = create_new_file(dir.local("f.bin"));
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("fresh", 5));
  ASSERT_TRUE(file->publish());
  EXPECT_EQ(read_file(dir.os("f.bin")), "fresh");
  for (unsigned i = 1; i <= 3; ++i) EXPECT_EQ(read_file(prefix + std::to_string(n + i)), "stale");
}

TEST(Win32FilesTest, TemporarySiblingsShareTheDirectoryAndDiffer) {
  const std::string a = win32::temp_sibling_path("D:\\data\\ftp\\name.zip");
  const std::string b = win32::temp_sibling_path("D:\\data\\ftp\\name.zip");
  EXPECT_EQ(a.rfind("D:\\data\\ftp\\.vandrisk-part-", 0), 0u) << a;
  EXPECT_NE(a, b);
  EXPECT_EQ(win32::temp_sibling_path("bare.zip").rfind(".vandrisk-part-", 0), 0u);
}
#else
TEST(PosixPlatformTest, LocalPathsMapBackslashesOnly) {
  EXPECT_EQ(to_os_path("\\tmp\\a b\\c.zip"), "/tmp/a b/c.zip");
  EXPECT_EQ(to_os_path("rel\\x"), "rel/x");
  EXPECT_EQ(to_os_path("\xD6\\\xD0"), "\xD6/\xD0");
}

TEST(PosixPlatformTest, ExecutablePathIsThisTestBinary) {
  const std::string exe = executable_path();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.front(), '/');
  EXPECT_EQ(::access(exe.c_str(), X_OK), 0);
}
#endif

}  // namespace
}  // namespace vandrisk::platform
