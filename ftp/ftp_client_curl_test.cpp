// The libcurl backend beyond the shared contract: what it sends on the wire,
// how it maps failures real servers cannot be made to produce on demand
// (those come from the scripted fault server), and the byte-count and disk
// checks.
#include "ftp/ftp_client_curl.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "download/file_fetch.h"
#include "ftp/ftp_client.h"
#include "testing/test_servers.h"
#include "testing/test_support.h"

namespace vandrisk {
namespace {

using test::ScratchDir;
using test::ServerKind;
using test::TestServer;

constexpr char kUser[] = "vdcontract";
constexpr char kPassword[] = "contract-pw";

std::vector<std::string> join_all(const std::vector<std::string>& a,
                                  const std::vector<std::string>& b) {
  std::vector<std::string> out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

TEST(ResolveRemotePathTest, RelativePathsHangOffAnAbsoluteLoginDirectory) {
  const struct {
    const char* entry;
    const char* path;
    const char* resolved;
  } kCases[] = {
      {"/", "", "/"},
      {"/", "data", "/data"},
      {"/", "data/a", "/data/a"},
      {"/home/u", "", "/home/u"},
      {"/home/u", "data", "/home/u/data"},
      {"/home/u/", "data", "/home/u/data"},
      {"/home/u", "/abs", "/abs"},
      {"/home/u", "/", "/"},
      {"/home/u", "a//b/", "/home/u/a//b/"},
      {"", "data", "data"},        // PWD told nothing
      {"C:/ftp", "data", "data"},  // not a Unix path: leave it to the server
      {"", "", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(resolve_remote_path(c.entry, c.path), c.resolved) << c.entry << " + " << c.path;
  }
}

// The codes the scripted and real servers below cannot produce (the rest are
// checked end to end there).
TEST(MapCurlResultTest, CodesNoLoopbackServerProduces) {
  const struct {
    CURLcode code;
    long reply;
    FtpError expected;
  } kCases[] = {
      {CURLE_COULDNT_RESOLVE_HOST, 0, ftp_errors::kNameNotResolved},  // needs DNS
      {CURLE_PARTIAL_FILE, 426, ftp_errors::kConnectionAborted},      // never 18, never a refusal
      {CURLE_RECV_ERROR, 421, ftp_errors::kConnectionAborted},
      {CURLE_WEIRD_SERVER_REPLY, 500, ftp_errors::kExtendedError},  // a 5xx greeting
      {CURLE_FTP_PORT_FAILED, 0, ftp_errors::kExtendedError},
      {CURLE_URL_MALFORMAT, 0, ftp_errors::kInternalError},
      {CURLE_OUT_OF_MEMORY, 0, ftp_errors::kInternalError},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(map_curl_result(c.code, c.reply), c.expected) << c.code << "/" << c.reply;
  }
}

// A tree on a real server and one client of the backend.
class CurlFtpClientTest : public ::testing::Test {
 protected:
  void start(ServerKind kind, const std::string& scenario = "") {
    ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
    for (const char* dir : {"/d", "/d/e"}) {
      ASSERT_EQ(::mkdir((root_.path() + dir).c_str(), 0755), 0);
    }
    for (const char* file : {"/d/x1", "/d/x2", "/d/x3", "/d/e/y1", "/d/e/y2"}) {
      test::write_file(root_.path() + file, std::string("content of ") + file);
    }
    test::write_file(root_.path() + "/d/big", std::string(3 << 20, 'b'));
    server_ = std::make_unique<TestServer>(kind, root_.path(),
                                           TestServer::Options{kUser, kPassword, scenario});
    ASSERT_EQ(server_->failure(), "");
    client_ = make_ftp_client(timeouts_);
    ASSERT_NE(client_, nullptr);
  }

  FtpAccount account() const {
    FtpAccount account;
    account.host = "127.0.0.1";
    account.port = server_->port();
    account.user = kUser;
    account.password = kPassword;
    return account;
  }

  // A connection, or null with `status` when the login failed.
  std::unique_ptr<FtpConnection> connect(FtpStatus& status) { return client_->connect(account(), status); }

  std::unique_ptr<FtpConnection> connect() {
    FtpStatus status;
    auto connection = connect(status);
    EXPECT_NE(connection, nullptr) << status.code;
    return connection;
  }

  // What the server received after the login, verbs only.
  std::vector<std::string> verbs_after_login() {
    const std::vector<std::string> verbs = server_->log_with_logins(1).verbs();
    const std::vector<std::string> login = {"USER", "PASS", "PWD"};
    if (verbs.size() < login.size() || !std::equal(login.begin(), login.end(), verbs.begin())) {
      ADD_FAILURE() << "no login at the start of: " << joined(verbs);
      return {};
    }
    return std::vector<std::string>(verbs.begin() + login.size(), verbs.end());
  }

  std::string local(const std::string& name) const { return local_.local() + "\\" + name; }

  bool fetch(FtpConnection& connection, const std::string& remote, const std::string& name,
             std::optional<std::uint64_t> size, FetchFailure& failure) {
    FileFetch file({remote, local(name), size});
    return file.attempt(connection, failure) && file.publish(failure);
  }

  FtpTimeouts timeouts_ = short_timeouts(5000);
  ScratchDir root_;
  ScratchDir local_;
  std::unique_ptr<TestServer> server_;
  std::unique_ptr<FtpClient> client_;

 private:
  static FtpTimeouts short_timeouts(long ms) {
    FtpTimeouts t;
    t.connect_ms = t.response_ms = t.accept_ms = t.stall_ms = ms;
    return t;
  }
};

// Per listing: CWD (only when the directory changes), the data connection,
// the type and the listing itself; per file with a listed size: the data
// connection and RETR.
TEST_F(CurlFtpClientTest, ListingsAndFetchesCostOnlyTheirOwnCommands) {
  start(ServerKind::kPyftpd);
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  FtpListing listing;
  FtpStatus status;
  ASSERT_TRUE(connection->list("d", listing, status)) << status.code;  // relative: still one CWD
  int fetched = 0;
  for (const FtpEntry& entry : listing.entries) {
    if (entry.kind != EntryKind::kFile || entry.name[0] != 'x') continue;
    FetchFailure failure;
    ASSERT_TRUE(fetch(*connection, "d/" + entry.name, entry.name, entry.size, failure));
    ++fetched;
  }
  ASSERT_EQ(fetched, 3);
  ASSERT_TRUE(connection->list("d/e", listing, status)) << status.code;
  FetchFailure failure;
  const std::uint64_t y1_size = std::string("content of /d/e/y1").size();
  ASSERT_TRUE(fetch(*connection, "d/e/y1", "y1", y1_size, failure));
  // Without a listed size libcurl asks for it, to check the count itself.
  ASSERT_TRUE(fetch(*connection, "d/e/y2", "y2", std::nullopt, failure));

  const std::vector<std::string> list = {"EPRT", "TYPE", "MLSD"};
  const std::vector<std::string> first_fetch = {"EPRT", "TYPE", "RETR"};
  const std::vector<std::string> fetch = {"EPRT", "RETR"};
  std::vector<std::string> expected = {"CWD"};
  const std::vector<std::vector<std::string>> parts = {
      list, first_fetch, fetch, fetch, {"CWD"}, list, first_fetch, {"EPRT", "SIZE", "RETR"}};
  for (const auto& part : parts) {
    expected = join_all(expected, part);
  }
  EXPECT_EQ(joined(verbs_after_login()), joined(expected));
  std::vector<std::string> cwds;
  for (const std::string& c : server_->log().commands) {
    if (c.rfind("CWD ", 0) == 0) cwds.push_back(c);
  }
  EXPECT_EQ(joined(cwds), "CWD /d CWD /d/e");
}

// Every connection of a task goes to the same server: the second one does
// not pay for asking again.
TEST_F(CurlFtpClientTest, ServerWithoutMlsdIsAskedForItOncePerTask) {
  start(ServerKind::kPyftpdNoMlsd);
  for (int connections = 0; connections < 2; ++connections) {
    auto connection = connect();
    ASSERT_NE(connection, nullptr);
    for (const char* dir : {"d", "d/e", "/d"}) {
      FtpListing listing;
      FtpStatus status;
      EXPECT_TRUE(connection->list(dir, listing, status)) << dir << ": " << status.code;
      EXPECT_FALSE(listing.entries.empty()) << dir;
    }
  }
  const test::ServerLog log = server_->log_with_logins(2);
  EXPECT_EQ(log.count("MLSD"), 1);
  EXPECT_EQ(log.count("LIST"), 6);
  EXPECT_EQ(log.logins, 2);
}

TEST_F(CurlFtpClientTest, ByteCountOtherThanTheListedSizeFailsAndLeavesNothing) {
  start(ServerKind::kPyftpd);
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  const std::uint64_t actual = 3 << 20;
  const struct {
    std::uint64_t listed;
    FtpError expected;
    const char* local_cause;
  } kCases[] = {
      {actual + 1, ftp_errors::kConnectionAborted, nullptr},  // the file shrank, or the data was cut off
      {actual - 1, ftp_errors::kInternalError, "size"},       // the file grew: stopped at the listed size
      {0, ftp_errors::kInternalError, "size"},
  };
  for (const auto& c : kCases) {
    FetchFailure failure;
    EXPECT_FALSE(fetch(*connection, "/d/big", "big", c.listed, failure)) << c.listed;
    EXPECT_EQ(failure.remote.code, c.expected) << c.listed;
    EXPECT_EQ(failure.local.operation ? std::string(failure.local.operation) : "",
              c.local_cause ? c.local_cause : "")
        << c.listed;
    EXPECT_EQ(test::list_dir(local_.path()), "") << c.listed;
  }
  // The connection (or a fresh one libcurl opens by itself) still serves.
  FetchFailure failure;
  EXPECT_TRUE(fetch(*connection, "/d/big", "big", actual, failure)) << failure.remote.code;
  EXPECT_EQ(test::read_file(local_.path() + "/big").size(), actual);
}

TEST_F(CurlFtpClientTest, DiskFullAbortsTheFetchAndLeavesNothing) {
  start(ServerKind::kPyftpd);
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  // A file size limit makes write() fail with EFBIG, as a full disk fails
  // it with ENOSPC.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  FetchFailure failure;
  const bool ok = fetch(*connection, "/d/big", "big", std::nullopt, failure);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(ok);
  EXPECT_EQ(failure.remote.code, ftp_errors::kInternalError);
  // The cause stays known below the console's one line: a local write, EFBIG.
  EXPECT_STREQ(failure.local.operation, "write");
  EXPECT_EQ(failure.local.code, EFBIG);
  EXPECT_EQ(test::list_dir(local_.path()), "");
}

TEST_F(CurlFtpClientTest, NamesNoCommandCanCarryFailBeforeAnythingIsSent) {
  start(ServerKind::kPyftpd);
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  const std::string kBadPaths[] = {"d/a\rb", "d/a\nb", "d/a\tb", std::string("d/a\0b", 5)};
  for (const std::string& bad : kBadPaths) {
    FtpListing listing;
    FtpStatus status;
    EXPECT_FALSE(connection->list(bad, listing, status));
    EXPECT_EQ(status.code, ftp_errors::kInternalError);
    FetchFailure failure;
    EXPECT_FALSE(fetch(*connection, bad, "f", std::nullopt, failure));
    EXPECT_EQ(failure.remote.code, ftp_errors::kInternalError);
  }
  EXPECT_EQ(joined(verbs_after_login()), "");
  EXPECT_EQ(test::list_dir(local_.path()), "");
}

TEST(CurlFtpConnectTest, EmptyHostIsNameNotResolved) {
  auto client = make_ftp_client();
  ASSERT_NE(client, nullptr);
  FtpStatus status;
  EXPECT_EQ(client->connect(FtpAccount(), status), nullptr);
  EXPECT_EQ(status.code, ftp_errors::kNameNotResolved);
}

enum class Step { kConnect, kList, kFetch };

struct FaultCase {
  const char* what;
  const char* scenario;  // fault_ftpd.py's JSON
  Step failing_step;
  FtpError expected;
};

// The faults real servers do not produce on demand, each with the code it
// must map to. The scripted server serves d/f (100 bytes).
TEST_F(CurlFtpClientTest, EachFaultHasItsCode) {
  const FaultCase kCases[] = {
      {"421 instead of a greeting",
       R"({"faults": [{"on": "CONNECT", "do": "reply", "reply": "421 Too many users."}]})",
       Step::kConnect, ftp_errors::kExtendedError},
      {"no greeting at all", R"({"faults": [{"on": "CONNECT", "do": "stall"}]})", Step::kConnect,
       ftp_errors::kTimeout},
      {"greeting that is no error but not 220 either",
       R"({"faults": [{"on": "CONNECT", "do": "reply", "reply": "120 Try later.", "close": false}]})",
       Step::kConnect, ftp_errors::kInternalError},
      {"password refused",
       R"({"faults": [{"on": "PASS", "do": "reply", "reply": "530 Login incorrect."}]})",
       Step::kConnect, ftp_errors::kLoginFailure},
      {"server hangs up during login", R"({"faults": [{"on": "PASS", "do": "hangup"}]})",
       Step::kConnect, ftp_errors::kConnectionAborted},
      {"CWD never answered", R"({"faults": [{"on": "CWD", "do": "silence"}]})", Step::kList,
       ftp_errors::kTimeout},
      {"server hangs up at CWD", R"({"faults": [{"on": "CWD", "do": "hangup"}]})", Step::kList,
       ftp_errors::kConnectionAborted},
      {"active-mode connection never comes",
       R"({"faults": [{"on": "MLSD", "do": "no_connect", "reply": "150 Here it comes."}]})",
       Step::kList, ftp_errors::kTimeout},
      {"data connection refused by the server",
       R"({"faults": [{"on": "MLSD", "do": "reply", "reply": "425 Can't open data connection."}]})",
       Step::kList, ftp_errors::kExtendedError},
      // libcurl itself calls a 450 to LIST "no matching files" and succeeds.
      {"listing refused for now",
       R"({"faults": [{"on": "MLSD", "do": "reply", "reply": "450 Not now."}]})", Step::kList,
       ftp_errors::kExtendedError},
      {"MLSD unknown, LIST refused",
       R"({"mlsd": false, "faults": [{"on": "LIST", "do": "reply", "reply": "550 Permission denied."}]})",
       Step::kList, ftp_errors::kExtendedError},
      {"file cut short, then 226",
       R"({"faults": [{"on": "RETR", "do": "cut", "at": 0.5, "then": "226"}]})", Step::kFetch,
       ftp_errors::kConnectionAborted},
      {"file cut short, then hang up",
       R"({"faults": [{"on": "RETR", "do": "cut", "at": 0.5, "then": "close"}]})", Step::kFetch,
       ftp_errors::kConnectionAborted},
  };
  timeouts_.connect_ms = 700;
  timeouts_.response_ms = 1000;
  timeouts_.accept_ms = 700;
  timeouts_.stall_ms = 2000;
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.what);
    ScratchDir root;
    ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root.path() + "/d").c_str(), 0755), 0);
    test::write_file(root.path() + "/d/f", std::string(100, 'f'));
    TestServer server(ServerKind::kFault, root.path(), {"u", "p", c.scenario});
    ASSERT_EQ(server.failure(), "");
    FtpAccount account;
    account.host = "127.0.0.1";
    account.port = server.port();
    account.user = "u";
    account.password = "p";
    auto client = make_ftp_client(timeouts_);
    FtpStatus status;
    auto connection = client->connect(account, status);
    if (c.failing_step == Step::kConnect) {
      EXPECT_EQ(connection, nullptr);
      EXPECT_EQ(status.code, c.expected);
      continue;
    }
    ASSERT_NE(connection, nullptr) << status.code;
    if (c.failing_step == Step::kList) {
      FtpListing listing;
      EXPECT_FALSE(connection->list("d", listing, status));
      EXPECT_EQ(status.code, c.expected);
    } else {
      ScratchDir local;
      FileFetch file({"d/f", local.local() + "\\f", std::nullopt});
      FetchFailure failure;
      EXPECT_FALSE(file.attempt(*connection, failure));
      EXPECT_EQ(failure.remote.code, c.expected);
      EXPECT_EQ(test::list_dir(local.path()), "");
    }
  }
}

TEST_F(CurlFtpClientTest, MlsdNotImplementedFallsBackToList) {
  start(ServerKind::kFault,
        R"({"faults": [{"on": "MLSD", "do": "reply", "reply": "502 Command not implemented."}]})");
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  FtpListing listing;
  FtpStatus status;
  ASSERT_TRUE(connection->list("d/e", listing, status)) << status.code;
  std::set<std::pair<std::string, std::uint64_t>> files;
  for (const FtpEntry& entry : listing.entries) {
    EXPECT_EQ(entry.kind, EntryKind::kFile) << entry.name;
    files.emplace(entry.name, entry.size.value_or(0));
  }
  const std::uint64_t size = std::string("content of /d/e/y1").size();
  EXPECT_EQ(files, (std::set<std::pair<std::string, std::uint64_t>>{{"y1", size}, {"y2", size}}));
  EXPECT_EQ(server_->log().count("LIST"), 1);
}

// libcurl converts every CR of an ASCII transfer, and listings always are
// one: "cr\rin.zip" would reach the walk as the two names "cr" and "in.zip".
TEST_F(CurlFtpClientTest, ListedNamesKeepEveryByte) {
  const std::string names[] = {"cr\rin.zip", "ends-in-cr.zip\r", "tab\tname", "gbk \xD6\xD0.zip"};
  std::string body;
  for (const std::string& name : names) body += "type=file;size=1; " + name + "\r\n";
  const std::string body_file = local_.path() + "/body";
  test::write_file(body_file, body);
  start(ServerKind::kFault,
        R"({"faults": [{"on": "MLSD", "do": "body", "body_file": ")" + body_file + R"("}]})");
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  FtpListing listing;
  FtpStatus status;
  ASSERT_TRUE(connection->list("d", listing, status)) << status.code;
  std::vector<std::string> listed;
  for (const FtpEntry& entry : listing.entries) listed.push_back(entry.name);
  EXPECT_EQ(listed, std::vector<std::string>(std::begin(names), std::end(names)));
}

}  // namespace
}  // namespace vandrisk
