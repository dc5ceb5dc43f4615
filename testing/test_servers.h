// Test-only: the FTP servers of tests/servers/ (pyftpdlib, vsftpd, the
// scripted fault server) on 127.0.0.1, started through tests/servers/serve.py,
// the same launcher and protocol-log reader the end-to-end tests use.
#ifndef VANDRISK_TESTING_TEST_SERVERS_H_
#define VANDRISK_TESTING_TEST_SERVERS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace vandrisk::test {

enum class ServerKind {
  kPyftpd,        // pyftpdlib with MLSD
  kPyftpdNoMlsd,  // pyftpdlib answering MLSD with 500, like vsftpd
  kVsftpd,        // Debian's vsftpd (needs root)
  kFault,         // tests/servers/fault_ftpd.py playing a scenario
};

// What a server's protocol log recorded, in order.
struct ServerLog {
  std::vector<std::string> commands;  // "VERB args" as received (PASS masked)
  int logins = 0;                     // successful logins

  std::vector<std::string> verbs() const;
  int count(const std::string& verb) const;
};

// One server serving `root`: to anonymous users, and to user/password when
// given. A kFault server plays `scenario` (JSON, see fault_ftpd.py).
// Check skipped() and failure() before use.
class TestServer {
 public:
  struct Options {
    std::string user;
    std::string password;
    std::string scenario;  // JSON text, kFault only
  };

  TestServer(ServerKind kind, const std::string& root, const Options& options);
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  ~TestServer();

  // Why the server cannot run here (e.g. vsftpd without root); empty when it runs.
  const std::string& skipped() const { return skipped_; }
  // Why the server did not start although it should have; empty when it runs.
  const std::string& failure() const { return failure_; }
  std::uint16_t port() const { return port_; }

  ServerLog log() const;
  // The log once it holds at least `logins` logins (or after two seconds):
  // vsftpd writes the login line from another process than the commands.
  ServerLog log_with_logins(int logins) const;

 private:
  bool read_line(std::string& line, int timeout_ms) const;

  ScratchDir scenario_dir_;
  std::string skipped_;
  std::string failure_;
  pid_t pid_ = -1;
  int to_server_ = -1;
  int from_server_ = -1;
  std::uint16_t port_ = 0;
  mutable std::string pending_;  // bytes read past the last line
};

}  // namespace vandrisk::test

#endif  // VANDRISK_TESTING_TEST_SERVERS_H_
