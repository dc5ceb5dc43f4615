// One set of expectations held against every FtpClient: the in-memory fake
// the walk's tests use, and the libcurl backend against real servers on
// loopback (pyftpdlib with and without MLSD, vsftpd). The fake is only worth
// something while it behaves like the real thing; this is where that shows.
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
#include <tuple>
#include <vector>

#include "testing/fake_ftp_client.h"
#include "ftp/ftp_client.h"
#include "testing/test_servers.h"
#include "testing/test_support.h"

namespace vandrisk {
namespace {

using testing::ScratchDir;
using testing::ServerKind;

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
      {testing::gbk("中文.txt"), std::string("GBK name")},
      {testing::gbk("目录"), std::nullopt},
      {testing::gbk("目录") + "/" + testing::gbk("数据") + " 1.dat",
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
        testing::write_file(os_path, *node.content);
        ASSERT_EQ(::chmod(os_path.c_str(), 0644), 0);
      } else {
        ASSERT_EQ(::mkdir(os_path.c_str(), 0755), 0);
      }
    }
    const ServerKind kind = GetParam() == Backend::kPyftpd         ? ServerKind::kPyftpd
                            : GetParam() == Backend::kPyftpdNoMlsd ? ServerKind::kPyftpdNoMlsd
                                                                   : ServerKind::kVsftpd;
    server_ = std::make_unique<testing::LoopbackFtpServer>(kind, root_.path(), kUser, kPassword);
    if (!server_->failure().empty()) {
      if (kind == ServerKind::kVsftpd) GTEST_SKIP() << server_->failure();
      FAIL() << server_->failure();
    }
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

  std::uint16_t port() const { return server_ ? server_->port() : 2121; }

  std::unique_ptr<FtpConnection> connect(FtpClient& client, FtpError& error,
                                         const char* user = kUser, const char* pwd = kPassword) {
    std::unique_ptr<FtpSession> session = client.open_session("VandriskApp", error);
    if (!session) return nullptr;
    sessions_.push_back(std::move(session));
    return sessions_.back()->connect("127.0.0.1", port(), user, pwd, error);
  }

  std::unique_ptr<FtpConnection> connect_or_fail(FtpClient& client) {
    FtpError error = ftp_errors::kNone;
    auto connection = connect(client, error);
    EXPECT_NE(connection, nullptr) << "connect failed with " << error;
    return connection;
  }

  int logins() const { return fake() ? fake_server_.logins() : server_->log_with_logins(1).logins; }

  // The whole listing of dir; `end` gets the code that ended it.
  static std::set<Listed> list_all(FtpConnection& connection, const std::string& dir,
                                   FtpError& end) {
    std::set<Listed> out;
    FtpEntry entry;
    end = ftp_errors::kNone;
    std::unique_ptr<FtpListing> listing = connection.find_first(dir, entry, end);
    if (!listing) return out;
    do {
      const auto size = entry.kind == EntryKind::kFile ? entry.size : std::nullopt;
      out.emplace(entry.name, entry.kind, size);
    } while (listing->next(entry, end));
    return out;
  }

  FakeFtpServer fake_server_;
  ScratchDir root_;
  ScratchDir local_;
  std::unique_ptr<testing::LoopbackFtpServer> server_;
  std::vector<std::unique_ptr<FtpSession>> sessions_;
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
      {testing::gbk("目录"), testing::gbk("目录")},
  };
  for (const auto& d : kDirs) {
    FtpError end = ftp_errors::kNone;
    EXPECT_EQ(list_all(*connection, d.asked, end), expected_listing(d.dir))
        << "'" << d.asked << "'";
    EXPECT_EQ(end, ftp_errors::kNoMoreFiles) << "'" << d.asked << "'";
  }
}

TEST_P(FtpClientContractTest, EmptyDirectoryIsNoMoreFiles) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  FtpEntry entry;
  FtpError error = ftp_errors::kNone;
  EXPECT_EQ(connection->find_first("/empty", entry, error), nullptr);
  EXPECT_EQ(error, ftp_errors::kNoMoreFiles);
}

TEST_P(FtpClientContractTest, DirectoryThatIsNotThereFailsUnlikeAnEmptyOne) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  for (const char* dir : {"nope", "/nope", "sub/nope", "/sub/a.txt"}) {
    FtpEntry entry;
    FtpError error = ftp_errors::kNone;
    EXPECT_EQ(connection->find_first(dir, entry, error), nullptr) << dir;
    EXPECT_EQ(error, ftp_errors::kExtendedError) << dir;
  }
  // The refusals leave the connection usable.
  FtpError end = ftp_errors::kNone;
  EXPECT_EQ(list_all(*connection, "/sub", end), expected_listing("sub"));
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
      FtpError error = ftp_errors::kNone;
      const auto size =
          with_size ? std::optional<std::uint64_t>(node.content->size()) : std::nullopt;
      EXPECT_TRUE(connection->get_file("/" + node.path, local_.local() + "\\" + name, size, error))
          << node.path << " failed with " << error;
      EXPECT_TRUE(testing::read_file(local_.path() + "/" + name) == *node.content)
          << node.path << " differs";
    }
  }
}

TEST_P(FtpClientContractTest, FetchOverAnExistingLocalFileFailsAndLeavesItAlone) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  const std::string local = local_.path() + "/a.txt";
  testing::write_file(local, "mine");
  FtpError error = ftp_errors::kNone;
  EXPECT_FALSE(connection->get_file("/sub/a.txt", local_.local() + "\\a.txt", std::nullopt, error));
  EXPECT_EQ(error, ftp_errors::kInternalError);
  EXPECT_EQ(testing::read_file(local), "mine");
  EXPECT_EQ(testing::list_dir(local_.path()), "a.txt");
}

TEST_P(FtpClientContractTest, FetchOfMissingRemoteFileFailsAndLeavesNothing) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  for (const auto size : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(5)}) {
    for (const char* remote : {"/sub/missing.txt", "/nope/a.txt", "/sub/deeper"}) {
      FtpError error = ftp_errors::kNone;
      EXPECT_FALSE(connection->get_file(remote, local_.local() + "\\x", size, error)) << remote;
      EXPECT_EQ(error, ftp_errors::kExtendedError) << remote;
      EXPECT_EQ(testing::list_dir(local_.path()), "") << remote;
    }
  }
}

TEST_P(FtpClientContractTest, ListingGoesOnAfterFetchesOnTheSameConnection) {
  auto client = new_client();
  auto connection = connect_or_fail(*client);
  ASSERT_NE(connection, nullptr);
  std::set<Listed> seen;
  FtpEntry entry;
  FtpError error = ftp_errors::kNone;
  auto listing = connection->find_first("sub", entry, error);
  ASSERT_NE(listing, nullptr) << error;
  do {
    seen.emplace(entry.name, entry.kind,
                 entry.kind == EntryKind::kFile ? entry.size : std::nullopt);
    if (entry.kind != EntryKind::kFile) continue;
    FtpError fetch_error = ftp_errors::kNone;
    EXPECT_TRUE(connection->get_file("sub/" + entry.name, local_.local() + "\\" + entry.name,
                                     entry.size, fetch_error))
        << entry.name << " failed with " << fetch_error;
  } while (listing->next(entry, error));
  EXPECT_EQ(error, ftp_errors::kNoMoreFiles);
  EXPECT_EQ(seen, expected_listing("sub"));
  EXPECT_EQ(testing::list_dir(local_.path()), "a.txt b.txt c.txt");
  EXPECT_EQ(testing::read_file(local_.path() + "/b.txt"), *node_at("sub/b.txt").content);
}

// The walk opens a session and a connection per level while the parent's
// listing is still open; the task must still log in once.
TEST_P(FtpClientContractTest, NestedConnectionsOfOneClientShareOneLogin) {
  auto client = new_client();
  auto top = connect_or_fail(*client);
  ASSERT_NE(top, nullptr);
  FtpEntry entry;
  FtpError error = ftp_errors::kNone;
  auto top_listing = top->find_first("", entry, error);
  ASSERT_NE(top_listing, nullptr) << error;

  auto middle = connect_or_fail(*client);
  ASSERT_NE(middle, nullptr);
  auto middle_listing = middle->find_first("/sub", entry, error);
  ASSERT_NE(middle_listing, nullptr) << error;

  auto bottom = connect_or_fail(*client);
  ASSERT_NE(bottom, nullptr);
  FtpError end = ftp_errors::kNone;
  EXPECT_EQ(list_all(*bottom, "/sub/deeper", end), expected_listing("sub/deeper"));
  EXPECT_TRUE(
      bottom->get_file("/sub/deeper/leaf.bin", local_.local() + "\\leaf.bin", std::nullopt, error));
  bottom.reset();

  EXPECT_TRUE(middle->get_file("/sub/a.txt", local_.local() + "\\a.txt", 6, error)) << error;
  middle_listing.reset();
  middle.reset();
  EXPECT_TRUE(
      top->get_file("/file with space.txt", local_.local() + "\\s.txt", std::nullopt, error))
      << error;
  EXPECT_EQ(logins(), 1);

  // The next task's client logs in on its own: the count above is real.
  // (Tasks run one after the other; pyftpdlib 1.5.7 stops serving a session
  // when another one that used active mode quits meanwhile.)
  top_listing.reset();
  top.reset();
  sessions_.clear();
  client.reset();
  auto other_client = new_client();
  auto other = connect_or_fail(*other_client);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(list_all(*other, "/sub", end), expected_listing("sub"));
  if (fake()) {
    EXPECT_EQ(fake_server_.logins(), 2);
  } else {
    EXPECT_EQ(server_->log_with_logins(2).logins, 2);
  }
}

TEST_P(FtpClientContractTest, AnonymousLoginSeesTheTree) {
  auto client = new_client();
  FtpError error = ftp_errors::kNone;
  auto connection = connect(*client, error, nullptr, nullptr);
  ASSERT_NE(connection, nullptr) << error;
  FtpError end = ftp_errors::kNone;
  EXPECT_EQ(list_all(*connection, "/", end), expected_listing(""));
  EXPECT_TRUE(connection->get_file("/" + testing::gbk("中文.txt"), local_.local() + "\\g",
                                   std::nullopt, error))
      << error;
  EXPECT_EQ(testing::read_file(local_.path() + "/g"), "GBK name");
}

TEST_P(FtpClientContractTest, WrongPasswordIsLoginFailure) {
  if (fake()) GTEST_SKIP() << "the fake checks no credentials";
  auto client = new_client();
  FtpError error = ftp_errors::kNone;
  EXPECT_EQ(connect(*client, error, kUser, "not-the-password"), nullptr);
  EXPECT_EQ(error, ftp_errors::kLoginFailure);
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
  FtpError error = ftp_errors::kNone;
  auto session = client->open_session("VandriskApp", error);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->connect("127.0.0.1", ntohs(address.sin_port), kUser, kPassword, error),
            nullptr);
  EXPECT_EQ(error, ftp_errors::kCannotConnect);
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Backends, FtpClientContractTest,
                         ::testing::Values(Backend::kFake, Backend::kPyftpd, Backend::kPyftpdNoMlsd,
                                           Backend::kVsftpd),
                         backend_name);

}  // namespace
}  // namespace vandrisk
