// The walk over the in-memory fake, on the Windows platform layer: real
// Windows paths and files, and the names Windows cannot hold.
#include "download/download_tree.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "testing/fake_ftp_client.h"
#include "testing/win32_test_support.h"

namespace vandrisk {
namespace {

using win32_testing::list_dir;
using win32_testing::read_file;
using win32_testing::write_file;

class DownloadTreeWin32Test : public ::testing::Test {
 protected:
  int run(const char* remote_dir, const char* head = "", const char* tail = "") {
    FakeFtpClient client(server_);
    out_.str("");
    return download_tree(client, out_, "VandriskApp", "127.0.0.1", 2121, nullptr, nullptr, remote_dir,
                         dir_.path().c_str(), head, tail);
  }
  std::string local(const std::string& relative) const { return dir_ / relative; }
  std::string output() const { return out_.str(); }

  FakeFtpServer server_;
  win32_testing::ScratchDir dir_;
  std::ostringstream out_;
};

TEST_F(DownloadTreeWin32Test, MirrorsNestedTreeThenFetchesNothingNew) {
  server_.add_dir("/data");
  server_.add_file("/data/z.bin", std::string("z\r\n\0z", 5));
  server_.add_dir("/data/b");
  server_.add_file("/data/b/1.bin", "one");
  server_.add_dir("/data/b/\xC4\xBF\xC2\xBC");  // 目录
  server_.add_file("/data/b/\xC4\xBF\xC2\xBC/\xC3\xFB.bin", "two");  // 名.bin
  server_.add_dir("/data/empty");

  EXPECT_EQ(run("/data"), 3);
  EXPECT_EQ(output(),
            "\xCF\xC2\xD4\xD8\xCE\xC4\xBC\xFE /data/z.bin\r\n"  // 下载文件
            "\xB4\xB4\xBD\xA8\xC4\xBF\xC2\xBC " + local("b") + "\r\n"  // 创建目录
            "\xCF\xC2\xD4\xD8\xCE\xC4\xBC\xFE /data/b/1.bin\r\n"
            "\xB4\xB4\xBD\xA8\xC4\xBF\xC2\xBC " + local("b\\\xC4\xBF\xC2\xBC") + "\r\n"
            "\xCF\xC2\xD4\xD8\xCE\xC4\xBC\xFE /data/b/\xC4\xBF\xC2\xBC/\xC3\xFB.bin\r\n"
            "\xB4\xB4\xBD\xA8\xC4\xBF\xC2\xBC " + local("empty") + "\r\n");
  EXPECT_EQ(read_file(local("z.bin")), std::string("z\r\n\0z", 5));
  EXPECT_EQ(read_file(local("b\\\xC4\xBF\xC2\xBC\\\xC3\xFB.bin")), "two");
  EXPECT_EQ(list_dir(dir_.path()), "b empty z.bin");
  EXPECT_EQ(list_dir(local("b")), "1.bin \xC4\xBF\xC2\xBC");

  server_.add_file("/data/b/new.bin", "new");
  EXPECT_EQ(run("/data"), 1);
  EXPECT_EQ(output(), "\xCF\xC2\xD4\xD8\xCE\xC4\xBC\xFE /data/b/new.bin\r\n");
}

TEST_F(DownloadTreeWin32Test, FileNamesWindowsCannotHoldFailCleanly) {
  const struct {
    const char* name;
    const char* existing;  // a local file Windows would confuse it with
  } cases[] = {
      {"a:b.zip", "a"},
      {"x.zip.", "x.zip"},
      {"x.zip ", "x.zip"},
      {"nul.zip", nullptr},
      {"LPT1.zip", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFtpServer server;
    server.add_dir("/d");
    server.add_file(std::string("/d/") + c.name, "remote");
    win32_testing::ScratchDir dir;
    if (c.existing) write_file(dir / c.existing, "local");
    FakeFtpClient client(server);
    std::ostringstream out;
    EXPECT_EQ(download_tree(client, out, "VandriskApp", "h", 21, nullptr, nullptr, "/d",
                            dir.path().c_str(), "", ""),
              -1);
    // 下载文件 ... 失败: the walk never takes the existing file for the remote one.
    EXPECT_EQ(out.str(), std::string("\xCF\xC2\xD4\xD8\xCE\xC4\xBC\xFE /d/") + c.name +
                             " \xCA\xA7\xB0\xDC\r\n");
    EXPECT_EQ(list_dir(dir.path()), c.existing ? c.existing : "");
    if (c.existing) {
      EXPECT_EQ(read_file(dir / c.existing), "local");
    }
  }
}

TEST_F(DownloadTreeWin32Test, DirectoryNamesWindowsCannotHoldFailCleanly) {
  server_.add_dir("/d");
  server_.add_dir("/d/con");
  server_.add_file("/d/con/f.bin", "f");
  EXPECT_EQ(run("/d"), -1);
  // 创建目录 ... 失败
  EXPECT_EQ(output(), "\xB4\xB4\xBD\xA8\xC4\xBF\xC2\xBC " + local("con") + " \xCA\xA7\xB0\xDC\r\n");
  EXPECT_EQ(list_dir(dir_.path()), "");
}

TEST_F(DownloadTreeWin32Test, ConflictsReportTheLocalKind) {
  server_.add_dir("/d");
  server_.add_file("/d/f.bin", "f");
  ASSERT_TRUE(CreateDirectoryA(local("f.bin").c_str(), nullptr));
  EXPECT_EQ(run("/d"), -1);
  // 下载文件 /d/f.bin 失败，文件冲突, file_type = 1
  EXPECT_EQ(output(), "\xCF\xC2\xD4\xD8\xCE\xC4\xBC\xFE /d/f.bin \xCA\xA7\xB0\xDC\xA3\xAC"
                      "\xCE\xC4\xBC\xFE\xB3\xE5\xCD\xBB, file_type = 1\r\n");
}

}  // namespace
}  // namespace vandrisk
