// The libcurl backend beyond the shared contract: what it sends on the wire,
// how it maps failures real servers cannot be made to produce on demand
// (those come from a scripted server), and the byte-count and disk checks.
#include "ftp/ftp_client_curl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ftp/ftp_client.h"
#include "testing/test_servers.h"
#include "testing/test_support.h"

namespace vandrisk {
namespace {

using testing::ScratchDir;
using testing::ServerKind;

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
  void start(ServerKind kind) {
    ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
    for (const char* dir : {"/d", "/d/e"}) {
      ASSERT_EQ(::mkdir((root_.path() + dir).c_str(), 0755), 0);
    }
    for (const char* file : {"/d/x1", "/d/x2", "/d/x3", "/d/e/y1", "/d/e/y2"}) {
      testing::write_file(root_.path() + file, std::string("content of ") + file);
    }
    testing::write_file(root_.path() + "/d/big", std::string(3 << 20, 'b'));
    server_ = std::make_unique<testing::LoopbackFtpServer>(kind, root_.path(), kUser, kPassword);
    ASSERT_EQ(server_->failure(), "");
    FtpTimeouts timeouts;
    timeouts.connect_ms = timeouts.response_ms = timeouts.accept_ms = timeouts.stall_ms = 5000;
    client_ = make_ftp_client(timeouts);
  }

  std::unique_ptr<FtpConnection> connect() {
    FtpError error = ftp_errors::kNone;
    sessions_.push_back(client_->open_session("VandriskApp", error));
    EXPECT_NE(sessions_.back(), nullptr);
    auto connection =
        sessions_.back()->connect("127.0.0.1", server_->port(), kUser, kPassword, error);
    EXPECT_NE(connection, nullptr) << error;
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

  ScratchDir root_;
  ScratchDir local_;
  std::unique_ptr<testing::LoopbackFtpServer> server_;
  std::unique_ptr<FtpClient> client_;
  std::vector<std::unique_ptr<FtpSession>> sessions_;
};

// Per listing: CWD (only when the directory changes), the data connection,
// the type and the listing itself; per file with a listed size: the data
// connection and RETR. Nothing per nested connect.
TEST_F(CurlFtpClientTest, ListingsAndFetchesCostOnlyTheirOwnCommands) {
  start(ServerKind::kPyftpd);
  auto top = connect();
  ASSERT_NE(top, nullptr);
  FtpEntry entry;
  FtpError error = ftp_errors::kNone;
  auto listing = top->find_first("d", entry, error);  // relative: still one CWD
  ASSERT_NE(listing, nullptr) << error;
  int fetched = 0;
  do {
    if (entry.kind == EntryKind::kFile && entry.name[0] == 'x') {
      ASSERT_TRUE(top->get_file("d/" + entry.name, local(entry.name), entry.size, error)) << error;
      ++fetched;
    }
  } while (listing->next(entry, error));
  ASSERT_EQ(fetched, 3);

  auto nested = connect();
  ASSERT_NE(nested, nullptr);
  auto inner = nested->find_first("d/e", entry, error);
  ASSERT_NE(inner, nullptr) << error;
  const std::uint64_t y1_size = std::string("content of /d/e/y1").size();
  ASSERT_TRUE(nested->get_file("d/e/y1", local("y1"), y1_size, error)) << error;
  // Without a listed size libcurl asks for it, to check the count itself.
  ASSERT_TRUE(nested->get_file("d/e/y2", local("y2"), std::nullopt, error)) << error;

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

TEST_F(CurlFtpClientTest, ServerWithoutMlsdIsAskedForItOnce) {
  start(ServerKind::kPyftpdNoMlsd);
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  for (const char* dir : {"d", "d/e", "/d"}) {
    FtpEntry entry;
    FtpError error = ftp_errors::kNone;
    EXPECT_NE(connection->find_first(dir, entry, error), nullptr) << dir << ": " << error;
  }
  auto nested = connect();
  FtpEntry entry;
  FtpError error = ftp_errors::kNone;
  EXPECT_NE(nested->find_first("d/e", entry, error), nullptr) << error;
  const testing::ServerLog log = server_->log();
  EXPECT_EQ(log.count("MLSD"), 1);
  EXPECT_EQ(log.count("LIST"), 4);
  EXPECT_EQ(log.logins, 1);
}

TEST_F(CurlFtpClientTest, ByteCountOtherThanTheListedSizeFailsAndLeavesNothing) {
  start(ServerKind::kPyftpd);
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  const std::uint64_t actual = 3 << 20;
  const struct {
    std::uint64_t listed;
    FtpError expected;
  } kCases[] = {
      {actual + 1, ftp_errors::kConnectionAborted},  // the file shrank, or the data was cut off
      {actual - 1, ftp_errors::kInternalError},      // the file grew: stopped at the listed size
      {0, ftp_errors::kInternalError},
  };
  for (const auto& c : kCases) {
    FtpError error = ftp_errors::kNone;
    EXPECT_FALSE(connection->get_file("/d/big", local("big"), c.listed, error)) << c.listed;
    EXPECT_EQ(error, c.expected) << c.listed;
    EXPECT_EQ(testing::list_dir(local_.path()), "") << c.listed;
  }
  // The connection (or a fresh one libcurl opens by itself) still serves.
  FtpError error = ftp_errors::kNone;
  EXPECT_TRUE(connection->get_file("/d/big", local("big"), actual, error)) << error;
  EXPECT_EQ(testing::read_file(local_.path() + "/big").size(), actual);
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
  FtpError error = ftp_errors::kNone;
  const bool ok = connection->get_file("/d/big", local("big"), std::nullopt, error);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, ftp_errors::kInternalError);
  EXPECT_EQ(testing::list_dir(local_.path()), "");
}

TEST_F(CurlFtpClientTest, NamesNoCommandCanCarryFailBeforeAnythingIsSent) {
  start(ServerKind::kPyftpd);
  auto connection = connect();
  ASSERT_NE(connection, nullptr);
  const std::string kBadPaths[] = {"d/a\rb", "d/a\nb", "d/a\tb", std::string("d/a\0b", 5)};
  for (const std::string& bad : kBadPaths) {
    FtpEntry entry;
    FtpError error = ftp_errors::kNone;
    EXPECT_EQ(connection->find_first(bad, entry, error), nullptr);
    EXPECT_EQ(error, ftp_errors::kInternalError);
    error = ftp_errors::kNone;
    EXPECT_FALSE(connection->get_file(bad, local("f"), std::nullopt, error));
    EXPECT_EQ(error, ftp_errors::kInternalError);
  }
  EXPECT_EQ(joined(verbs_after_login()), "");
  EXPECT_EQ(testing::list_dir(local_.path()), "");
}

TEST(CurlFtpSessionTest, EmptyHostIsNameNotResolved) {
  auto client = make_ftp_client();
  FtpError error = ftp_errors::kNone;
  auto session = client->open_session("VandriskApp", error);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->connect("", 21, nullptr, nullptr, error), nullptr);
  EXPECT_EQ(error, ftp_errors::kNameNotResolved);
}

// One FTP session on 127.0.0.1 that answers by script: the faults real
// servers do not produce on demand. Commands without a handler get the
// usual happy answers; a handler returns false to hang up.
class ScriptedFtpServer {
 public:
  using Handler = std::function<bool(ScriptedFtpServer&, const std::string& arg)>;

  ScriptedFtpServer(std::string greeting, std::map<std::string, Handler> handlers)
      : greeting_(std::move(greeting)), handlers_(std::move(handlers)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 4) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "scripted server cannot listen";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }

  ~ScriptedFtpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (control_fd_ >= 0) ::close(control_fd_);
    if (listen_fd_ >= 0) ::close(listen_fd_);
  }

  std::uint16_t port() const { return port_; }

  void reply(const std::string& line) {
    const std::string wire = line + "\r\n";
    if (::send(control_fd_, wire.data(), wire.size(), MSG_NOSIGNAL) < 0) return;
  }

  // Connects to the client's EPRT address, sends `bytes` and closes.
  void send_data(const std::string& bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(data_port_);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) ADD_FAILURE() << "data send";
    }
    ::close(fd);
  }

 private:
  static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }

  bool readable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }

  void run() {
    if (!readable(listen_fd_)) return;
    control_fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (!greeting_.empty()) reply(greeting_);
    std::string pending;
    while (readable(control_fd_)) {
      char buffer[512];
      const ssize_t n = ::recv(control_fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find("\r\n")) != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        const std::size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        if (!answer(verb, arg)) {
          ::shutdown(control_fd_, SHUT_RDWR);
          return;
        }
      }
    }
  }

  bool answer(const std::string& verb, const std::string& arg) {
    if (verb == "EPRT") {  // |1|127.0.0.1|port|
      const std::size_t port_at = arg.rfind('|', arg.size() - 2) + 1;
      data_port_ = static_cast<std::uint16_t>(std::stoi(arg.substr(port_at)));
    }
    if (auto handler = handlers_.find(verb); handler != handlers_.end()) {
      return handler->second(*this, arg);
    }
    static const std::map<std::string, std::string> kDefaults = {
        {"USER", "331 Password please."},
        {"PASS", "230 Logged in."},
        {"PWD", "257 \"/\" is the current directory."},
        {"CWD", "250 Okay."},
        {"TYPE", "200 Okay."},
        {"EPRT", "200 Okay."},
        {"QUIT", "221 Bye."},
    };
    const auto found = kDefaults.find(verb);
    reply(found != kDefaults.end() ? found->second : "500 Unknown command.");
    return verb != "QUIT";
  }

  std::string greeting_;
  std::map<std::string, Handler> handlers_;
  int listen_fd_ = -1;
  int control_fd_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t data_port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A client of the scripted server, and the outcome of its connect.
struct ScriptedLogin {
  std::unique_ptr<FtpClient> client;
  std::unique_ptr<FtpSession> session;
  std::unique_ptr<FtpConnection> connection;  // null when the login failed
  FtpError error = ftp_errors::kNone;
};

ScriptedLogin log_in(const ScriptedFtpServer& server, const FtpTimeouts& timeouts = FtpTimeouts(),
                     const char* user = nullptr, const char* pwd = nullptr) {
  ScriptedLogin login;
  login.client = make_ftp_client(timeouts);
  login.session = login.client->open_session("VandriskApp", login.error);
  if (login.session) {
    login.connection = login.session->connect("127.0.0.1", server.port(), user, pwd, login.error);
  }
  return login;
}

bool silence(ScriptedFtpServer&, const std::string&) { return true; }
bool hang_up(ScriptedFtpServer&, const std::string&) { return false; }
ScriptedFtpServer::Handler replies(std::string line) {
  return [line](ScriptedFtpServer& server, const std::string&) {
    server.reply(line);
    return true;
  };
}

enum class Step { kConnect, kList, kFetch };

struct FaultCase {
  const char* what;
  std::string greeting;
  std::map<std::string, ScriptedFtpServer::Handler> handlers;
  Step failing_step;
  FtpError expected;
};

std::vector<FaultCase> fault_cases() {
  const std::string ready = "220 Ready.";
  return {
      {"421 instead of a greeting",
       "421 Too many users.",
       {},
       Step::kConnect,
       ftp_errors::kExtendedError},
      {"no greeting at all", "", {}, Step::kConnect, ftp_errors::kTimeout},
      {"greeting that is no error but not 220 either",
       "120 Try later.",
       {},
       Step::kConnect,
       ftp_errors::kInternalError},
      {"password refused",
       ready,
       {{"PASS", replies("530 Login incorrect.")}},
       Step::kConnect,
       ftp_errors::kLoginFailure},
      {"server hangs up during login",
       ready,
       {{"PASS", hang_up}},
       Step::kConnect,
       ftp_errors::kConnectionAborted},
      {"CWD never answered", ready, {{"CWD", silence}}, Step::kList, ftp_errors::kTimeout},
      {"server hangs up at CWD",
       ready,
       {{"CWD", hang_up}},
       Step::kList,
       ftp_errors::kConnectionAborted},
      {"active-mode connection never comes",
       ready,
       {{"MLSD", replies("150 Here it comes.")}},
       Step::kList,
       ftp_errors::kTimeout},
      {"data connection refused by the server",
       ready,
       {{"MLSD", replies("425 Can't open data connection.")}},
       Step::kList,
       ftp_errors::kExtendedError},
      // libcurl itself calls a 450 to LIST "no matching files" and succeeds.
      {"listing refused for now",
       ready,
       {{"MLSD", replies("450 Not now.")}},
       Step::kList,
       ftp_errors::kExtendedError},
      {"MLSD unknown, LIST refused",
       ready,
       {{"LIST", replies("550 Permission denied.")}},
       Step::kList,
       ftp_errors::kExtendedError},
      {"file cut short, then 226",
       ready,
       {{"SIZE", replies("213 100")},
        {"RETR",
         [](ScriptedFtpServer& server, const std::string&) {
           server.reply("150 Sending.");
           server.send_data(std::string(50, 'x'));
           server.reply("226 Done.");
           return true;
         }}},
       Step::kFetch,
       ftp_errors::kConnectionAborted},
      {"file cut short, then hang up",
       ready,
       {{"SIZE", replies("213 100")},
        {"RETR",
         [](ScriptedFtpServer& server, const std::string&) {
           server.reply("150 Sending.");
           server.send_data(std::string(50, 'x'));
           return false;
         }}},
       Step::kFetch,
       ftp_errors::kConnectionAborted},
  };
}

TEST(CurlFtpFaultTest, EachFaultHasItsCode) {
  FtpTimeouts timeouts;
  timeouts.connect_ms = 700;
  timeouts.response_ms = 1000;
  timeouts.accept_ms = 700;
  timeouts.stall_ms = 2000;
  for (FaultCase& c : fault_cases()) {
    SCOPED_TRACE(c.what);
    ScratchDir local;
    ScriptedFtpServer server(c.greeting, std::move(c.handlers));
    ScriptedLogin login = log_in(server, timeouts, "u", "p");
    ASSERT_NE(login.session, nullptr);
    auto& connection = login.connection;
    FtpError& error = login.error;
    if (c.failing_step == Step::kConnect) {
      EXPECT_EQ(connection, nullptr);
      EXPECT_EQ(error, c.expected);
      continue;
    }
    ASSERT_NE(connection, nullptr) << error;
    if (c.failing_step == Step::kList) {
      FtpEntry entry;
      EXPECT_EQ(connection->find_first("d", entry, error), nullptr);
    } else {
      EXPECT_FALSE(connection->get_file("d/f", local.local() + "\\f", std::nullopt, error));
      EXPECT_EQ(testing::list_dir(local.path()), "");
    }
    EXPECT_EQ(error, c.expected);
  }
}

TEST(CurlFtpFaultTest, MlsdNotImplementedFallsBackToList) {
  ScriptedFtpServer server(
      "220 Ready.", {{"MLSD", replies("502 Command not implemented.")},
                     {"LIST", [](ScriptedFtpServer& s, const std::string&) {
                        s.reply("150 Listing.");
                        s.send_data(
                            "-rw-r--r--    1 0        0               3 Dec 08 02:11 a.txt\r\n"
                            "drwxr-xr-x    2 0        0            4096 Dec 08 02:11 sub\r\n");
                        s.reply("226 Done.");
                        return true;
                      }}});
  ScriptedLogin login = log_in(server);
  ASSERT_NE(login.connection, nullptr) << login.error;
  auto& connection = login.connection;
  FtpError& error = login.error;
  FtpEntry entry;
  auto listing = connection->find_first("d", entry, error);
  ASSERT_NE(listing, nullptr) << error;
  EXPECT_EQ(entry.name, "a.txt");
  EXPECT_EQ(entry.kind, EntryKind::kFile);
  EXPECT_EQ(entry.size, 3u);
  ASSERT_TRUE(listing->next(entry, error));
  EXPECT_EQ(entry.name, "sub");
  EXPECT_EQ(entry.kind, EntryKind::kDirectory);
  EXPECT_FALSE(listing->next(entry, error));
  EXPECT_EQ(error, ftp_errors::kNoMoreFiles);
}

// libcurl converts every CR of an ASCII transfer, and listings always are
// one: "cr\rin.zip" would reach the walk as the two names "cr" and "in.zip".
TEST(CurlFtpFaultTest, ListedNamesKeepEveryByte) {
  const std::string names[] = {"cr\rin.zip", "ends-in-cr.zip\r", "tab\tname", "gbk \xD6\xD0.zip"};
  ScriptedFtpServer server("220 Ready.",
                           {{"MLSD", [&names](ScriptedFtpServer& s, const std::string&) {
                               std::string body;
                               for (const std::string& name : names) {
                                 body += "type=file;size=1; " + name + "\r\n";
                               }
                               s.reply("150 Listing.");
                               s.send_data(body);
                               s.reply("226 Done.");
                               return true;
                             }}});
  ScriptedLogin login = log_in(server);
  ASSERT_NE(login.connection, nullptr) << login.error;
  auto& connection = login.connection;
  FtpError& error = login.error;
  FtpEntry entry;
  auto listing = connection->find_first("d", entry, error);
  ASSERT_NE(listing, nullptr) << error;
  std::vector<std::string> listed;
  do {
    listed.push_back(entry.name);
  } while (listing->next(entry, error));
  EXPECT_EQ(listed, std::vector<std::string>(std::begin(names), std::end(names)));
}

}  // namespace
}  // namespace vandrisk
