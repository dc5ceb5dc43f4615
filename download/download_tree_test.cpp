#include "download/download_tree.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <functional>
#include <sstream>

#include "testing/fake_ftp_client.h"
#include "testing/test_support.h"

namespace vandrisk {
namespace {

using test::gbk;

// The task with its console lines to `out` (notes on standard error are not
// what these tests look at).
int run_task(const TaskRecord& task, FtpClient& client, std::ostream& out,
             const WalkTuning& tuning = WalkTuning()) {
  std::ostringstream err;
  Console console(out, err);
  return download_tree(task, client, console, tuning);
}

class DownloadTreeTest : public ::testing::Test {
 protected:
  int run(const char* remote_dir, const char* head = "", const char* tail = "",
          const std::string& local = "") {
    FakeFtpClient client(server_);
    return run_task(test::make_task(remote_dir, local.empty() ? dir_.local() : local, head, tail), client,
                         out_);
  }
  std::string local(const std::string& relative) const { return dir_.os(relative); }
  std::string shown(const std::string& relative) const { return dir_.local(relative); }
  std::string output() const { return out_.str(); }

  FakeFtpServer server_;
  test::ScratchDir dir_;
  std::ostringstream out_;
};

TEST_F(DownloadTreeTest, MirrorsTreeDepthFirstInListingOrder) {
  server_.add_dir("/data");
  server_.add_file("/data/z.bin", "zz");
  server_.add_dir("/data/b");
  server_.add_file("/data/b/1.bin", "one");
  server_.add_dir("/data/b/deep");
  server_.add_file("/data/b/deep/2.bin", "two");
  server_.add_dir("/data/a");  // holds nothing: still mirrored
  server_.add_file("/data/m.bin", "m");

  EXPECT_EQ(run("/data"), 4);
  EXPECT_EQ(output(), gbk("下载文件 /data/z.bin\r\n"
                          "创建目录 ") + shown("b") + "\r\n" +
                          gbk("下载文件 /data/b/1.bin\r\n"
                              "创建目录 ") + shown("b\\deep") + "\r\n" +
                          gbk("下载文件 /data/b/deep/2.bin\r\n"
                              "创建目录 ") + shown("a") + "\r\n" +
                          gbk("下载文件 /data/m.bin\r\n"));
  EXPECT_EQ(server_.listed_dirs(), (std::vector<std::string>{"/data", "/data/b", "/data/b/deep", "/data/a"}));
  EXPECT_EQ(test::read_file(local("b/deep/2.bin")), "two");
  EXPECT_EQ(test::list_dir(dir_.path()), "a b m.bin z.bin");
  EXPECT_EQ(test::list_dir(local("a")), "");
  EXPECT_EQ(server_.logins(), 1);  // every level shares the task's login
}

TEST_F(DownloadTreeTest, SecondRunFetchesNothing) {
  server_.add_dir("/d");
  server_.add_dir("/d/sub");
  server_.add_file("/d/sub/f.zip", "x");
  ASSERT_EQ(run("/d"), 1);
  out_.str("");
  const std::size_t fetches = server_.fetched().size();
  EXPECT_EQ(run("/d"), 0);
  EXPECT_EQ(output(), "");
  EXPECT_EQ(server_.fetched().size(), fetches);
}

TEST_F(DownloadTreeTest, AFileTheListingNamesTwiceIsFetchedOnce) {
  for (const char* parallel : {"1", "4"}) {
    FakeFtpServer server;
    test::ScratchDir dir;
    server.add_dir("/d");
    server.add_file("/d/a.bin", "a");
    server.add_file("/d/b.bin", "b");
    server.add_file("/d/a.bin", "a");  // listed again
    FakeFtpClient client(server);
    TaskRecord task = test::make_task("/d", dir.local());
    task.settings.parallel = parallel;
    std::ostringstream out;
    EXPECT_EQ(run_task(task, client, out), 2) << parallel;
    EXPECT_EQ(out.str(), gbk("下载文件 /d/a.bin\r\n下载文件 /d/b.bin\r\n")) << parallel;
    EXPECT_EQ(test::list_dir(dir.path()), "a.bin b.bin") << parallel;
  }
}

TEST_F(DownloadTreeTest, FiltersAreCaseSensitivePrefixAndSuffix) {
  server_.add_dir("/d");
  for (const char* name : {"name1.zip", "Name2.zip", "name3.ZIP", "other.zip", "name.zip.part"}) {
    server_.add_file(std::string("/d/") + name, name);
  }
  EXPECT_EQ(run("/d", "name", ".zip"), 1);
  EXPECT_EQ(server_.fetched(), std::vector<std::string>{"/d/name1.zip"});
  EXPECT_EQ(test::list_dir(dir_.path()), "name1.zip");
}

TEST_F(DownloadTreeTest, EmptyFiltersFetchEveryFile) {
  server_.add_dir("/d");
  server_.add_file("/d/a", "1");
  server_.add_file("/d/.hidden", "2");
  EXPECT_EQ(run("/d", "", ""), 2);
}

TEST_F(DownloadTreeTest, EmptyDirectoryGivesZeroSilently) {
  server_.add_dir("/empty");
  EXPECT_EQ(run("/empty"), 0);
  EXPECT_EQ(output(), "");
}

TEST_F(DownloadTreeTest, PathsAreJoinedWithoutNormalisation) {
  server_.add_dir("/d");
  server_.add_dir("/d/s");
  server_.add_file("/d/s/f", "x");
  EXPECT_EQ(run("/d/", "", "", dir_.local() + "\\"), 1);
  EXPECT_EQ(output(), gbk("创建目录 ") + dir_.local() + "\\\\s\r\n" + gbk("下载文件 /d//s/f\r\n"));
  EXPECT_EQ(server_.listed_dirs().back(), "/d//s");
}

TEST_F(DownloadTreeTest, EmptyRemoteDirListsLoginDirectoryAndPathsStartWithSlash) {
  server_.add_file("/top.txt", "t");
  EXPECT_EQ(run(""), 1);
  EXPECT_EQ(server_.listed_dirs(), std::vector<std::string>{""});
  EXPECT_EQ(output(), gbk("下载文件 /top.txt\r\n"));
}

// A login that lands elsewhere than "/" (a system user's home): the paths of
// an empty ftppath's entries start from there, not from "/".
TEST_F(DownloadTreeTest, EmptyRemoteDirPathsStartFromTheLoginDirectory) {
  server_.add_dir("/home");
  server_.add_dir("/home/u");
  server_.add_file("/home/u/x.txt", "home");
  server_.add_dir("/home/u/sub");
  server_.add_file("/home/u/sub/y.txt", "sub");
  server_.add_file("/x.txt", "root");  // what "/x.txt" would fetch instead
  server_.set_login_directory("/home/u");
  EXPECT_EQ(run(""), 2);
  EXPECT_EQ(output(), gbk("下载文件 /home/u/x.txt\r\n创建目录 ") + shown("sub") + "\r\n" +
                          gbk("下载文件 /home/u/sub/y.txt\r\n"));
  EXPECT_EQ(test::read_file(local("x.txt")), "home");
}

// Settings are read before anything is sent: a value the tool cannot use,
// or TLS on a client that cannot do it, fails the task with one line.
TEST_F(DownloadTreeTest, UnusableSettingsFailTheTaskBeforeItConnects) {
  server_.add_dir("/d");
  const struct {
    const char* key;
    const char* value;
    bool client_tls;
    const char* expected;
  } kCases[] = {
      {"parallel", "abc", true, "配置项 parallel=abc 的值无效\r\n"},
      {"tls", "1", false, "Windows 版不支持 tls=1（FTP over TLS）\r\n"},
      {"tlsca", "/no/such/ca.pem", true, "无法读取 tlsca 文件 /no/such/ca.pem\r\n"},
  };
  for (const auto& c : kCases) {
    TaskRecord task = test::make_task("/d", dir_.local());
    task.settings.tls = "1";
    if (std::string(c.key) == "parallel") task.settings.parallel = c.value;
    if (std::string(c.key) == "tlsca") task.settings.tlsca = c.value;
    FakeFtpClient client(server_, c.client_tls);
    std::ostringstream out;
    EXPECT_EQ(run_task(task, client, out), -1) << c.key;
    EXPECT_EQ(out.str(), gbk(c.expected)) << c.key;
  }
  EXPECT_EQ(server_.logins(), 0);
}

TEST_F(DownloadTreeTest, ExistingLocalFileCountsAsFetchedEvenWhenFilteredOut) {
  server_.add_dir("/d");
  server_.add_file("/d/name1.zip", "new content");
  test::write_file(local("name1.zip"), "old");
  EXPECT_EQ(run("/d", "name", ".zip"), 0);
  EXPECT_EQ(test::read_file(local("name1.zip")), "old");
  EXPECT_TRUE(server_.fetched().empty());
}

struct ConflictCase {
  const char* what;
  bool remote_is_dir;
  const char* local_kind;  // "file", "dir", "fifo"
  int expected;            // -1 conflict, 0 fine
  int file_type;
};

TEST_F(DownloadTreeTest, ConflictsBetweenRemoteAndLocalKinds) {
  const ConflictCase cases[] = {
      {"matching file, local directory", false, "dir", -1, 1},
      {"matching file, local fifo", false, "fifo", -1, 3},
      {"remote directory, local file", true, "file", -1, 0},
      {"remote directory, local fifo", true, "fifo", -1, 3},
      {"remote directory, local directory", true, "dir", 0, 0},
  };
  for (const ConflictCase& c : cases) {
    FakeFtpServer server;
    test::ScratchDir dir;
    server.add_dir("/d");
    if (c.remote_is_dir) {
      server.add_dir("/d/name1.zip");
    } else {
      server.add_file("/d/name1.zip", "x");
    }
    const std::string target = dir.os("name1.zip");
    const std::string kind = c.local_kind;
    if (kind == "dir") {
      test::make_dir(target);
    } else if (kind == "fifo") {
#ifdef _WIN32
      continue;  // Windows has no FIFO to put in the way
#else
      ASSERT_EQ(::mkfifo(target.c_str(), 0644), 0);
#endif
    } else {
      test::write_file(target, "x");
    }
    FakeFtpClient client(server);
    std::ostringstream out;
    EXPECT_EQ(run_task(test::make_task("/d", dir.local(), "name", ".zip"), client, out), c.expected)
        << c.what;
    if (c.expected == 0) {
      EXPECT_EQ(out.str(), "") << c.what;
    } else if (c.remote_is_dir) {
      EXPECT_EQ(out.str(), gbk("创建目录 ") + dir.local() + "\\name1.zip" +
                               gbk(" 失败，目录冲突, file_type = ") + std::to_string(c.file_type) + "\r\n")
          << c.what;
    } else {
      EXPECT_EQ(out.str(), gbk("下载文件 /d/name1.zip 失败，文件冲突, file_type = ") +
                               std::to_string(c.file_type) + "\r\n")
          << c.what;
    }
  }
}

TEST_F(DownloadTreeTest, NonMatchingNameCausesNoConflict) {
  server_.add_dir("/d");
  server_.add_file("/d/other.txt", "x");
  test::make_dir(local("other.txt"));
  EXPECT_EQ(run("/d", "name", ".zip"), 0);
  EXPECT_EQ(output(), "");
}

TEST_F(DownloadTreeTest, MissingTopLevelLocalDirectoryIsNeverCreated) {
  server_.add_dir("/f");
  server_.add_file("/f/name1.zip", "x");
  server_.add_dir("/s");
  server_.add_dir("/s/sub");
  server_.add_dir("/n");
  server_.add_file("/n/skip.txt", "x");
  const std::string missing = dir_.local() + "\\missing";

  EXPECT_EQ(run("/f", "name", ".zip", missing), -1);
  EXPECT_EQ(output(), gbk("下载文件 /f/name1.zip 失败\r\n"));
  out_.str("");
  EXPECT_EQ(run("/s", "", "", missing), -1);
  EXPECT_EQ(output(), gbk("创建目录 ") + missing + "\\sub" + gbk(" 失败\r\n"));
  out_.str("");
  EXPECT_EQ(run("/n", "name", ".zip", missing), 0);
  EXPECT_EQ(output(), "");
  EXPECT_FALSE(test::exists(dir_.os("missing")));
}

// One walk of /d holding a.bin (1000 bytes) and b.bin, after `arrange`.
struct WalkCase {
  const char* what;
  std::function<void(FakeFtpServer&)> arrange;
  const char* expected_utf8;
  const char* left = "";  // what stays on disk
  int result = -1;
  const char* min_age = nullptr;
  int logins = 0;  // 0: not counted
  const char* charset = nullptr;
};

void run_cases(const std::vector<WalkCase>& cases) {
  WalkTuning tuning;
  tuning.settle_ms = 0;
  for (const WalkCase& c : cases) {
    FakeFtpServer server;
    test::ScratchDir dir;
    server.add_dir("/d");
    server.add_file("/d/a.bin", std::string(1000, 'a'));
    server.add_file("/d/b.bin", "b");
    c.arrange(server);
    FakeFtpClient client(server);
    TaskRecord task = test::make_task("/d", dir.local());
    if (c.min_age) task.settings.min_age = c.min_age;
    if (c.charset) task.settings.charset = c.charset;
    std::ostringstream out;
    EXPECT_EQ(run_task(task, client, out, tuning), c.result) << c.what;
    EXPECT_EQ(out.str(), gbk(c.expected_utf8)) << c.what;
    // Nothing under a final name that is not complete, and nothing stray.
    EXPECT_EQ(test::list_dir(dir.path()), c.left) << c.what;
    if (c.logins) {
      EXPECT_EQ(server.logins(), c.logins) << c.what;
    }
  }
}

TEST_F(DownloadTreeTest, EveryFailureEndsTheWalkWithOneMessage) {
  run_cases({
      {"connect", [](FakeFtpServer& s) { s.fail_connect({ftp_errors::kLoginFailure, 530}); },
       "cant not open hIntSession\r\n"},
      {"listing start", [](FakeFtpServer& s) { s.fail_listing("/d", {ftp_errors::kTimeout, 0}); },
       "获取路径 /d 下的文件失败，errno=12002\r\n"},
      {"listing breaks off", [](FakeFtpServer& s) { s.break_listing("/d", 1, ftp_errors::kConnectionAborted); },
       "下载文件 /d/a.bin\r\n获取 ftp 服务器文件列表失败 errno = 12030\r\n", "a.bin"},
      {"download", [](FakeFtpServer& s) { s.fail_fetch("/d/a.bin", {ftp_errors::kExtendedError, 550}); },
       "下载文件 /d/a.bin 失败\r\n"},
      {"download dies midway", [](FakeFtpServer& s) { s.fail_fetch_midway("/d/a.bin", {ftp_errors::kConnectionAborted, 426}); },
       "下载文件 /d/a.bin 失败\r\n"},
      {"listed size differs", [](FakeFtpServer& s) { s.set_listed_size("/d/a.bin", 99); },
       "下载文件 /d/a.bin 失败\r\n"},
  });
}

// A file the server is still writing never gets its name; the walk goes on
// and a later run fetches it. Old files are not asked about again.
TEST_F(DownloadTreeTest, FilesStillChangingArePassedOver) {
  const std::string recent = test::utc_time_val(-60);
  run_cases({
      {"grows after its transfer", [&](FakeFtpServer& s) { s.set_modify("/d/a.bin", recent); s.grow_file("/d/a.bin", "more", false); },
       "跳过仍在变化的文件 /d/a.bin\r\n下载文件 /d/b.bin\r\n", "b.bin", 1, nullptr, 1},
      {"grew before its transfer", [&](FakeFtpServer& s) { s.grow_file("/d/a.bin", "more", true); },
       "跳过仍在变化的文件 /d/a.bin\r\n下载文件 /d/b.bin\r\n", "b.bin", 1, nullptr, 1},
      {"old, so not looked at", [&](FakeFtpServer& s) { s.grow_file("/d/a.bin", "more", false); },
       "下载文件 /d/a.bin\r\n下载文件 /d/b.bin\r\n", "a.bin b.bin", 2, nullptr, 1},
      {"too new for min_age", [&](FakeFtpServer& s) { s.set_modify("/d/a.bin", recent); },
       "跳过仍在变化的文件 /d/a.bin\r\n下载文件 /d/b.bin\r\n", "b.bin", 1, "3600", 1},
      {"min_age on a server without times", [&](FakeFtpServer& s) { s.set_modify("/d/a.bin", ""); },
       "服务器不提供文件的修改时间（MLSD 或 MDTM），无法按 min_age=3600 检查 /d/a.bin\r\n", "", -1, "3600", 1},
      {"all bytes, no final reply", [&](FakeFtpServer& s) { s.fail_fetch_after_data("/d/a.bin", {ftp_errors::kTimeout, 0}); },
       "下载文件 /d/a.bin\r\n下载文件 /d/b.bin\r\n", "a.bin b.bin", 2, nullptr, 2},
      {"all bytes, then 426", [&](FakeFtpServer& s) { s.fail_fetch_after_data("/d/a.bin", {ftp_errors::kConnectionAborted, 426}); },
       "下载文件 /d/a.bin 失败\r\n", "", -1, nullptr, 1},
  });
}

// With several connections, the one that lost its control connection after
// every byte of a file may find the server full when it logs in again for
// the look: another connection looks, and the bytes are kept.
TEST_F(DownloadTreeTest, AWholeFileWhoseConnectionWasLostIsLookedAtByAnother) {
  FakeFtpServer server;
  test::ScratchDir dir;
  server.add_dir("/d");
  server.add_file("/d/a.bin", "a");
  server.add_file("/d/b.bin", "b");
  server.set_modify("/d/a.bin", test::utc_time_val(-600));  // recent: looked at again
  server.fail_fetch_after_data("/d/a.bin", {ftp_errors::kTimeout, 0}, 1);
  server.fail_connect({ftp_errors::kExtendedError, 421}, -1, 2);  // full after two logins
  FakeFtpClient client(server);
  TaskRecord task = test::make_task("/d", dir.local());
  task.settings.parallel = "2";
  WalkTuning tuning;
  tuning.first_retry_delay_ms = 0;
  tuning.settle_ms = 200;  // both connections are in before the look
  std::ostringstream out;
  EXPECT_EQ(run_task(task, client, out, tuning), 2);
  EXPECT_EQ(out.str(), gbk("下载文件 /d/a.bin\r\n下载文件 /d/b.bin\r\n"));
  EXPECT_EQ(test::list_dir(dir.path()), "a.bin b.bin");
  EXPECT_EQ(server.fetched().size(), 2u);
}

// A server may refuse (553) a name it listed. Read under a charset, the name
// is passed over with a line as one that cannot be sent; raw, the task fails
// on it as before.
TEST_F(DownloadTreeTest, NamesTheServerRefusesArePassedOverUnderACharset) {
  const auto refuse = [](FakeFtpServer& s) { s.fail_fetch("/d/a.bin", {ftp_errors::kExtendedError, 553}); };
  run_cases({
      {"charset=auto", refuse, "跳过无法原样发给服务器的文件名 /d/a.bin\r\n下载文件 /d/b.bin\r\n", "b.bin", 1,
       nullptr, 0, "auto"},
      {"raw", refuse, "下载文件 /d/a.bin 失败\r\n"},
  });
}

TEST_F(DownloadTreeTest, FailureDeepInTheTreeEndsEveryLevelAndLeavesEarlierFiles) {
  server_.add_dir("/d");
  server_.add_file("/d/1", "1");
  server_.add_dir("/d/a");
  server_.add_dir("/d/a/b");
  server_.add_file("/d/a/b/ok", "ok");
  server_.add_file("/d/a/b/bad", "bad");
  server_.add_file("/d/a/b/after", "never");
  server_.add_file("/d/a/after", "never");
  server_.add_file("/d/after", "never");
  server_.fail_fetch("/d/a/b/bad", {ftp_errors::kConnectionAborted, 0});
  EXPECT_EQ(run("/d"), -1);
  EXPECT_EQ(output(), gbk("下载文件 /d/1\r\n创建目录 ") + shown("a") + "\r\n" + gbk("创建目录 ") +
                          shown("a\\b") + "\r\n" + gbk("下载文件 /d/a/b/ok\r\n下载文件 /d/a/b/bad 失败\r\n"));
  EXPECT_EQ(server_.fetched(), (std::vector<std::string>{"/d/1", "/d/a/b/ok", "/d/a/b/bad"}));
  EXPECT_EQ(test::list_dir(local("a/b")), "ok");
}

TEST_F(DownloadTreeTest, UnsafeNamesAreSkippedAndTheWalkGoesOn) {
  server_.add_dir("/d");
  server_.add_raw_entry("/d", "../escape", EntryKind::kFile);
  server_.add_raw_entry("/d", "..\\escape", EntryKind::kDirectory);
  server_.add_raw_entry("/d", "cr\rlf\n", EntryKind::kFile);
  server_.add_raw_entry("/d", std::string("nul\0x", 5), EntryKind::kFile);
  server_.add_raw_entry("/d", "tab\tx", EntryKind::kFile);
  server_.add_raw_entry("/d", "", EntryKind::kDirectory);  // would be /d itself, forever
  server_.add_raw_entry("/d", ".", EntryKind::kDirectory);
  server_.add_raw_entry("/d", "..", EntryKind::kDirectory);
  server_.add_file("/d/fine", "f");
  EXPECT_EQ(run("/d"), 1);
  EXPECT_EQ(output(), gbk("跳过不安全的文件名 /d/../escape\r\n"
                          "跳过不安全的文件名 /d/..\\escape\r\n"
                          "跳过不安全的文件名 /d/cr?lf?\r\n"
                          "跳过不安全的文件名 /d/nul?x\r\n"
                          "跳过不安全的文件名 /d/tab?x\r\n"
                          "跳过不安全的文件名 /d/\r\n"
                          "下载文件 /d/fine\r\n"));
  EXPECT_EQ(server_.listed_dirs(), std::vector<std::string>{"/d"});
  EXPECT_EQ(test::list_dir(dir_.path()), "fine");
}

TEST_F(DownloadTreeTest, UnrecognizedListingLinesAreReportedAndTheWalkGoesOn) {
  server_.add_dir("/d");
  // The whole line stands in the name, '/' and control bytes included.
  server_.add_raw_entry("/d", "-rw-r--r-- 1 u g 9 ??? a/b\tc", EntryKind::kUnrecognized);
  server_.add_file("/d/fine", "f");
  EXPECT_EQ(run("/d"), 1);
  EXPECT_EQ(output(), gbk("无法识别的列表行 -rw-r--r-- 1 u g 9 ??? a/b?c\r\n下载文件 /d/fine\r\n"));
  EXPECT_EQ(test::list_dir(dir_.path()), "fine");
}

// A server that resolves links lists a link back up as a directory; its
// identity (MLSD's unique fact) gives it away at its first level, whether
// the top's own identity comes with the listing (cdir) or has to be asked.
TEST_F(DownloadTreeTest, DirectoriesThatContainThemselvesAreSkipped) {
  for (const bool cdir : {true, false}) {
    SCOPED_TRACE(cdir ? "cdir" : "MLST");
    FakeFtpServer server;
    test::ScratchDir dir;
    server.add_dir("/data");
    server.add_file("/data/f", "f");
    server.add_dir("/data/sub");
    server.add_dir_link("/data/sub/up", "/data");
    server.add_dir_link("/data/sub/self", "/data/sub");
    server.add_dir("/data/sub/real");
    server.add_file("/data/sub/real/g", "g");
    server.report_identities(cdir);
    FakeFtpClient client(server);
    std::ostringstream out;
    EXPECT_EQ(run_task(test::make_task("/data", dir.local()), client, out), 2);
    EXPECT_EQ(out.str(), gbk("下载文件 /data/f\r\n创建目录 ") + dir.local("sub") + "\r\n" +
                             gbk("跳过循环目录 /data/sub/up\r\n跳过循环目录 /data/sub/self\r\n创建目录 ") +
                             dir.local("sub\\real") + "\r\n" + gbk("下载文件 /data/sub/real/g\r\n"));
    EXPECT_EQ(server.fetched(), (std::vector<std::string>{"/data/f", "/data/sub/real/g"}));
  }
}

TEST_F(DownloadTreeTest, EntriesOfUnknownKindAreSkipped) {
  server_.add_dir("/d");
  server_.add_other("/d/link");
  EXPECT_EQ(run("/d"), 0);
  EXPECT_EQ(output(), "");
  EXPECT_TRUE(server_.fetched().empty());
}

TEST_F(DownloadTreeTest, CredentialsReachTheLogin) {
  server_.add_dir("/d");
  FakeFtpClient client(server_);
  TaskRecord record = test::make_task("/d", dir_.local());
  std::snprintf(record.host, sizeof record.host, "ftp.local");
  record.port = 0;
  std::snprintf(record.user, sizeof record.user, "bob");
  std::snprintf(record.pwd, sizeof record.pwd, "pw");
  EXPECT_EQ(run_task(record, client, out_), 0);
  ASSERT_EQ(server_.connects().size(), 1u);
  EXPECT_EQ(server_.connects()[0].host, "ftp.local");
  EXPECT_EQ(server_.connects()[0].user, "bob");
  EXPECT_EQ(server_.connects()[0].password, "pw");
  EXPECT_EQ(server_.connects()[0].port, 21);  // port 0 means the FTP default
}

#ifdef _WIN32
// On Windows: binary content and GBK names on real Windows files, and the
// names Windows cannot hold.
TEST_F(DownloadTreeTest, WindowsMirrorsNestedTreeThenFetchesNothingNew) {
  server_.add_dir("/data");
  server_.add_file("/data/z.bin", std::string("z\r\n\0z", 5));
  server_.add_dir("/data/b");
  server_.add_file("/data/b/1.bin", "one");
  server_.add_dir("/data/b/" + gbk("目录"));
  server_.add_file("/data/b/" + gbk("目录") + "/" + gbk("名") + ".bin", "two");
  server_.add_dir("/data/empty");

  EXPECT_EQ(run("/data"), 3);
  EXPECT_EQ(output(), gbk("下载文件 /data/z.bin\r\n创建目录 ") + shown("b") + "\r\n" +
                          gbk("下载文件 /data/b/1.bin\r\n创建目录 ") + shown("b\\" + gbk("目录")) +
                          "\r\n" + gbk("下载文件 /data/b/目录/名.bin\r\n创建目录 ") + shown("empty") +
                          "\r\n");
  EXPECT_EQ(test::read_file(local("z.bin")), std::string("z\r\n\0z", 5));
  EXPECT_EQ(test::read_file(local("b\\" + gbk("目录") + "\\" + gbk("名") + ".bin")), "two");
  EXPECT_EQ(test::list_dir(dir_.path()), "b empty z.bin");
  EXPECT_EQ(test::list_dir(local("b")), "1.bin " + gbk("目录"));

  server_.add_file("/data/b/new.bin", "new");
  out_.str("");
  EXPECT_EQ(run("/data"), 1);
  EXPECT_EQ(output(), gbk("下载文件 /data/b/new.bin\r\n"));
}

// Windows would store such a name elsewhere ("a:b" as stream "b" of "a",
// "x." as "x") or send it to a device: the entry is skipped with a note, and
// a local file Windows would confuse it with stays as it is.
TEST_F(DownloadTreeTest, WindowsSkipsFileNamesWindowsCannotHold) {
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
    test::ScratchDir dir;
    if (c.existing) test::write_file(dir.os(c.existing), "local");
    FakeFtpClient client(server);
    std::ostringstream out;
    EXPECT_EQ(run_task(test::make_task("/d", dir.local()), client, out), 0);
    EXPECT_EQ(out.str(), gbk("跳过不安全的文件名 /d/") + c.name + "\r\n");
    EXPECT_TRUE(server.fetched().empty());
    EXPECT_EQ(test::list_dir(dir.path()), c.existing ? c.existing : "");
    if (c.existing) {
      EXPECT_EQ(test::read_file(dir.os(c.existing)), "local");
    }
  }
}

TEST_F(DownloadTreeTest, WindowsSkipsDirectoryNamesWindowsCannotHold) {
  server_.add_dir("/d");
  server_.add_dir("/d/con");
  server_.add_file("/d/con/f.bin", "f");
  EXPECT_EQ(run("/d"), 0);
  EXPECT_EQ(output(), gbk("跳过不安全的文件名 /d/con\r\n"));
  EXPECT_EQ(test::list_dir(dir_.path()), "");
}
#endif

}  // namespace
}  // namespace vandrisk
