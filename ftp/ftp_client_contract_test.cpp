// One set of expectations held against every FtpClient: the in-memory fake
// the walk's tests use, and the libcurl backend against real servers on
// loopback (pyftpdlib with and without MLSD, vsftpd). The fake is only worth
// something while it behaves like the real thing; this is where that shows.
// Fetches go through FileFetch, the one path every backend's bytes take.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "download/file_fetch.h"
#include "ftp/ftp_client.h"
#include "ftp/remote_time.h"
#include "testing/fake_ftp_client.h"
#include "testing/test_servers.h"
#include "testing/test_support.h"

namespace vandrisk {
namespace {

using test::ScratchDir;
using test::ServerKind;

constexpr char kUser[] = "vdcontract";
constexpr char kPassword[] = "contract-pw";

// Bytes a text-mode transfer or a sloppy buffer would mangle: CR LF pairs,
// lone CRs and LFs, NULs, 0xFF, spread over several receive buffers.
std::string binary_content() {
  std::string bytes;
  unsigned state = 12345;
  for (int i = 0; i < 1300 * 1024 + 7; ++i) {
    state = state * 1103515245u + 12345u;
    bytes.push_back(static_cast<char>(state >> 23));
    if (i % 997 == 0) bytes += "\r\n\r\r\n\n";
  }
  return bytes;
}

// The tree every backend serves. Directories have no content.
struct Node {
  std::string path;  // relative to the server root, '/'-separated
  std::optional<std::string> content;
};

const std::vector<Node>& tree() {
  static const std::vector<Node> nodes = {
      {"empty", std::nullopt},
      {"sub", std::nullopt},
      {"sub/a.txt", std::string("alpha\n")},
      {"sub/b.txt", std::string("bravo, two lines\r\nand a CR\r")},
      {"sub/c.txt", std::string("")},
      {"sub/deeper", std::nullopt},
      {"sub/deeper/leaf.bin", binary_content()},
      {"file with space.txt", std::string("spaces in the name")},
      {test::gbk("中文.txt"), std::string("GBK name")},
      {test::gbk("目录"), std::nullopt},
      {test::gbk("目录") + "/" + test::gbk("数据") + " 1.dat",
       std::string("under a GBK dir")},
  };
  return nodes;
}

using Listed = std::tuple<std::string, EntryKind, std::optional<std::uint64_t>>;

// What listing `dir` (relative to the root) must give: its children, sizes
// for files. Real servers list in any order, hence a set.
std::set<Listed> expected_listing(const std::string& dir) {
  std::set<Listed> out;
  const std::string prefix = dir.empty() ? "" : dir + "/";
  for (const Node& node : tree()) {
    if (node.path.rfind(prefix, 0) != 0) continue;
    const std::string name = node.path.substr(prefix.size());
    if (name.empty() || name.find('/') != std::string::npos) continue;
    if (node.content) {
      out.emplace(name, EntryKind::kFile, node.content->size());
    } else {
      out.emplace(name, EntryKind::kDirectory, std::nullopt);
    }
  }
  return out;
}

const Node& node_at(const std::string& path) {
  for (const Node& node : tree()) {
    if (node.path == path) return node;
  }
  throw std::logic_error("no node " + path);
}

enum class Backend { kFake, kPyftpd, kPyftpdNoMlsd, kVsftpd };

std::string backend_name(const ::testing::TestParamInfo<Backend>& info) {
  switch (info.param) {
    case Backend::kFake:
      return "fake";
    case Backend::kPyftpd:
      return "pyftpdlib";
    case Backend::kPyftpdNoMlsd:
      return "pyftpdlib_list_only";
    case Backend::kVsftpd:
      return "vsftpd";
  }
  return "unknown";
}

class FtpClientContractTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (fake()) {
      for (const Node& node : tree()) {
        if (node.content) {
          fake_server_.add_file("/" + node.path, *node.content);
        } else {
          fake_server_.add_dir("/" + node.path);
        }
      }
      return;
    }
    // vsftpd shows anonymous users only world-readable files.
    ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
    for (const Node& node : tree()) {
      const std::string os_path = root_.path() + "/" + node.path;
      if (node.content) {
        test::write_file(os_path, *node.content);
        ASSERT_EQ(::chmod(os_path.c_str(), 0644), 0);
      } else {
        ASSERT_EQ(::mkdir(os_path.c_str(), 0755), 0);
      }
    }
    const ServerKind kind = GetParam() == Backend::kPyftpd         ? ServerKind::kPyftpd
                            : GetParam() == Backend::kPyftpdNoMlsd ? ServerKind::kPyftpdNoMlsd
                                                                   : ServerKind::kVsftpd;
    server_ = std::make_unique<test::TestServer>(kind, root_.path(),
                                                 test::TestServer::Options{kUser, kPassword, ""});
    if (!server_->skipped().empty()) GTEST_SKIP() << server_->skipped();
    ASSERT_EQ(server_->failure(), "");
  }

  bool fake() const { return GetParam() == Backend::kFake; }

  std::unique_ptr<FtpClient> new_client() {
    if (fake()) return std::make_unique<FakeFtpClient>(fake_server_);
    FtpTimeouts timeouts;
    timeouts.connect_ms = 5000;
    timeouts.response_ms = 5000;
    timeouts.accept_ms = 5000;
    timeouts.stall_ms = 5000;
    return make_ftp_client(timeouts);
  }

  FtpAccount account(const char* user = kUser, const char* pwd = kPassword) const {
    FtpAccount account;
    account.host = "127.0.0.1";
    account.port = server_ ? server_->port() : 2121;
    if (user) account.user = user;
    if (pwd) account.password = pwd;
    return account;
  }

  std::unique_ptr<FtpConnection> connect_or_fail(FtpClient& client) {
    FtpStatus status;
    auto connection = client.connect(account(), status);
    EXPECT_NE(connection, nullptr) << "connect failed with " << status.code;
    return connection;
  }

  int logins(int at_least) const {
    return fake() ? fake_server_.logins() : server_->log_with_logins(at_least).logins;
  }

  // The whole listing of dir as a set; `ok` tells whether it listed at all.
  static std::set<Listed> list_all(FtpConnection& connection, const std::string& dir,
                                   bool* ok = nullptr) {
    FtpListing listing;
    FtpStatus status;
    const bool listed = connection.list(dir, listing, status);
    if (ok) *ok = listed;
    EXPECT_EQ(listing.cut_short, ftp_errors::kNone) << dir;
    std::set<Listed> out;
    for (const FtpEntry& entry : listing.entries) {
      const auto size = entry.kind == EntryKind::kFile ? entry.size : std::nullopt;
      out.emplace(entry.name, entry.kind, size);
    }
    return out;
  }

  // Fetches remote_path the way the walk does, into local_/name.
  static bool fetch_to(FtpConnection& connection, const std::string& remote_path,
                       const std::string& local_path, std::optional<std::uint64_t> size,
                       FetchFailure& failure) {
    FileFetch file({remote_path, local_path, size});
    return file.attempt(connection, failure) && file.publish(failure);
  }

  std::string local(const std::string& name) const { return local_.local() + "\\" + name; }

  FakeFtpServer fake_server_;
  ScratchDir root_;
  ScratchDir local_;
  std::unique_ptr<test::TestServer> server_;
};

// Collects what a fetch delivers.
struct StringSink : FetchSink {
  bool write(const char* data, std::size_t size) override {
    bytes.append(data, size);
    return true;
  }
  std::string bytes;
};

TEST_P(FtpClientContractTest, ListingsGiveEveryEntryWithItsKindAndSize) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  const struct {
    std::string asked;  // as the walk passes it
    std::string dir;    // the tree directory it means
  } kDirs[] = {
      {"", ""},
      {"/", ""},
      {"sub", "sub"},
      {"/sub", "sub"},
      {"/sub/deeper", "sub/deeper"},
      {test::gbk("目录"), test::gbk("目录")},
  };
  for (const auto& d : kDirs) {
    bool ok = false;
    EXPECT_EQ(list_all(*connection, d.asked, &ok), expected_listing(d.dir)) << "'" << d.asked << "'";
    EXPECT_TRUE(ok) << "'" << d.asked << "'";
  }
}

TEST_P(FtpClientContractTest, EmptyDirectoryIsAnEmptyListing) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  bool ok = false;
  EXPECT_EQ(list_all(*connection, "/empty", &ok), std::set<Listed>());
  EXPECT_TRUE(ok);
}

TEST_P(FtpClientContractTest, DirectoryThatIsNotThereFailsUnlikeAnEmptyOne) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  for (const char* dir : {"nope", "/nope", "sub/nope", "/sub/a.txt"}) {
    FtpListing listing;
    FtpStatus status;
    EXPECT_FALSE(connection->list(dir, listing, status)) << dir;
    EXPECT_EQ(status.code, ftp_errors::kExtendedError) << dir;
    EXPECT_EQ(status.reply, 550) << dir;
  }
  // The refusals leave the connection usable.
  EXPECT_EQ(list_all(*connection, "/sub"), expected_listing("sub"));
}

TEST_P(FtpClientContractTest, FetchesAreByteExactWithAndWithoutListedSize) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  int n = 0;
  for (const Node& node : tree()) {
    if (!node.content) continue;
    for (const bool with_size : {true, false}) {
      const std::string name = "f" + std::to_string(n++);
      FetchFailure failure;
      const auto size =
          with_size ? std::optional<std::uint64_t>(node.content->size()) : std::nullopt;
      EXPECT_TRUE(fetch_to(*connection, "/" + node.path, local(name), size, failure))
          << node.path << " failed with " << failure.remote.code;
      EXPECT_TRUE(test::read_file(local_.path() + "/" + name) == *node.content)
          << node.path << " differs";
    }
  }
}

// What a retry needs: the rest of a file from a byte offset on (REST).
TEST_P(FtpClientContractTest, FetchFromAnOffsetDeliversTheRest) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  const std::string& content = *node_at("sub/deeper/leaf.bin").content;
  for (const std::uint64_t offset : {std::uint64_t{1}, std::uint64_t{700000}, std::uint64_t{content.size()}}) {
    StringSink sink;
    FtpStatus status;
    EXPECT_TRUE(connection->fetch("/sub/deeper/leaf.bin", offset, content.size(), sink, status))
        << offset << ": " << status.code;
    EXPECT_TRUE(sink.bytes == content.substr(offset)) << offset << " got " << sink.bytes.size() << " of " << content.size() - offset;
  }
}

// What the walk asks of a file after fetching it: its size and time (MLST,
// or SIZE and MDTM, also in the ASCII mode a listing leaves behind); a file
// that is not there is a refusal.
TEST_P(FtpClientContractTest, LooksTellSizeAndTimeOfAFile) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  const std::uint64_t size = node_at("sub/deeper/leaf.bin").content->size();
  for (const char* path : {"/sub/deeper/leaf.bin", "sub/deeper/leaf.bin"}) {
    list_all(*connection, "/sub");
    RemoteFacts facts;
    FtpStatus status;
    ASSERT_TRUE(connection->look(path, FtpConnection::kSize | FtpConnection::kTime, facts, status))
        << path << ": " << status.code << " " << status.reply;
    EXPECT_EQ(facts.size, size) << path;
    EXPECT_TRUE(time_val_seconds(facts.modify)) << path << ": '" << facts.modify << "'";
    EXPECT_FALSE(connection->look("/sub/nope.bin", FtpConnection::kSize, facts, status));
    EXPECT_EQ(status.code, ftp_errors::kExtendedError);
    EXPECT_EQ(status.reply, 550);
  }
}

TEST_P(FtpClientContractTest, FetchOverAnExistingLocalFileFailsAndLeavesItAlone) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  const std::string local_file = local_.path() + "/a.txt";
  test::write_file(local_file, "mine");
  FetchFailure failure;
  EXPECT_FALSE(fetch_to(*connection, "/sub/a.txt", local("a.txt"), std::nullopt, failure));
  EXPECT_EQ(failure.remote.code, ftp_errors::kInternalError);
  EXPECT_STREQ(failure.local.operation, "create");
  EXPECT_EQ(test::read_file(local_file), "mine");
  EXPECT_EQ(test::list_dir(local_.path()), "a.txt");
}

TEST_P(FtpClientContractTest, FetchOfMissingRemoteFileFailsAndLeavesNothing) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  for (const auto size : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(5)}) {
    for (const char* remote : {"/sub/missing.txt", "/nope/a.txt", "/sub/deeper"}) {
      FetchFailure failure;
      EXPECT_FALSE(fetch_to(*connection, remote, local("x"), size, failure)) << remote;
      EXPECT_EQ(failure.remote.code, ftp_errors::kExtendedError) << remote;
      EXPECT_EQ(failure.remote.reply, 550) << remote;
      EXPECT_EQ(test::list_dir(local_.path()), "") << remote;
    }
  }
}

TEST_P(FtpClientContractTest, ListingsAndFetchesTakeTurnsOnOneConnection) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  FtpListing listing;
  FtpStatus status;
  ASSERT_TRUE(connection->list("sub", listing, status)) << status.code;
  for (const FtpEntry& entry : listing.entries) {
    if (entry.kind != EntryKind::kFile) continue;
    FetchFailure failure;
    EXPECT_TRUE(fetch_to(*connection, "sub/" + entry.name, local(entry.name), entry.size, failure))
        << entry.name << " failed with " << failure.remote.code;
  }
  EXPECT_EQ(list_all(*connection, "sub"), expected_listing("sub"));
  EXPECT_EQ(test::list_dir(local_.path()), "a.txt b.txt c.txt");
  EXPECT_EQ(test::read_file(local_.path() + "/b.txt"), *node_at("sub/b.txt").content);
  EXPECT_EQ(logins(1), 1);
}

// A task may hold several connections at once, each its own login, each used
// by its own thread.
TEST_P(FtpClientContractTest, ConnectionsOfOneClientWorkAtTheSameTimeEachWithItsLogin) {
  auto client = new_client();
  std::vector<std::unique_ptr<FtpConnection>> connections;
  for (int i = 0; i < 3; ++i) {
    connections.push_back(connect_or_fail(*client));
    ASSERT_NE(connections.back(), nullptr);
  }
  std::vector<std::thread> threads;
  std::vector<std::set<Listed>> listed(connections.size());
  std::vector<std::string> fetched(connections.size());
  for (std::size_t i = 0; i < connections.size(); ++i) {
    threads.emplace_back([&, i] {
      FtpConnection& connection = *connections[i];
      listed[i] = list_all(connection, "/sub/deeper");
      StringSink sink;
      FtpStatus status;
      if (connection.fetch("/sub/deeper/leaf.bin", 0, std::nullopt, sink, status)) {
        fetched[i] = std::move(sink.bytes);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t i = 0; i < connections.size(); ++i) {
    EXPECT_EQ(listed[i], expected_listing("sub/deeper")) << i;
    EXPECT_TRUE(fetched[i] == *node_at("sub/deeper/leaf.bin").content) << i;
  }
  EXPECT_EQ(logins(3), 3);
}

TEST_P(FtpClientContractTest, AnonymousLoginSeesTheTreeFromTheRoot) {
  auto client = new_client();
  FtpStatus status;
  auto connection = client->connect(account(nullptr, nullptr), status);
  ASSERT_NE(connection, nullptr) << status.code;
  EXPECT_EQ(connection->login_directory(), "/");
  EXPECT_EQ(list_all(*connection, "/"), expected_listing(""));
  FetchFailure failure;
  EXPECT_TRUE(fetch_to(*connection, "/" + test::gbk("中文.txt"), local("g"), std::nullopt, failure))
      << failure.remote.code;
  EXPECT_EQ(test::read_file(local_.path() + "/g"), "GBK name");
}

TEST_P(FtpClientContractTest, WrongPasswordIsLoginFailure) {
  if (fake()) GTEST_SKIP() << "the fake checks no credentials";
  auto client = new_client();
  FtpStatus status;
  EXPECT_EQ(client->connect(account(kUser, "not-the-password"), status), nullptr);
  EXPECT_EQ(status.code, ftp_errors::kLoginFailure);
  EXPECT_EQ(status.reply, 530);
}

TEST_P(FtpClientContractTest, ClosedPortIsCannotConnect) {
  if (fake()) GTEST_SKIP() << "the fake has no ports";
  // A bound socket that does not listen: connections to it are refused, and
  // no other process can take the port meanwhile.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  auto client = new_client();
  FtpAccount closed = account();
  closed.port = ntohs(address.sin_port);
  FtpStatus status;
  EXPECT_EQ(client->connect(closed, status), nullptr);
  EXPECT_EQ(status.code, ftp_errors::kCannotConnect);
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Backends, FtpClientContractTest,
                         ::testing::Values(Backend::kFake, Backend::kPyftpd, Backend::kPyftpdNoMlsd,
                                           Backend::kVsftpd),
                         backend_name);

}  // namespace
}  // namespace vandrisk
