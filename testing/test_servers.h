// Test-only: the real FTP servers of tests/servers/ (pyftpdlib, vsftpd) as
// child processes on 127.0.0.1, and what their protocol logs recorded.
//
// Header-only so that every *_test.cpp can include it without a build entry.
#ifndef VANDRISK_TESTING_TEST_SERVERS_H_
#define VANDRISK_TESTING_TEST_SERVERS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_support.h"

extern char** environ;

namespace vandrisk::testing {

enum class ServerKind {
  kPyftpd,        // pyftpdlib with MLSD
  kPyftpdNoMlsd,  // pyftpdlib answering MLSD with 500, like vsftpd
  kVsftpd,        // Debian's vsftpd (needs root)
};

inline const char* server_name(ServerKind kind) {
  switch (kind) {
    case ServerKind::kPyftpd:
      return "pyftpdlib";
    case ServerKind::kPyftpdNoMlsd:
      return "pyftpdlib_no_mlsd";
    case ServerKind::kVsftpd:
      return "vsftpd";
  }
  return "?";
}

// What a server's protocol log recorded, in order.
struct ServerLog {
  std::vector<std::string> commands;  // "VERB args" as received (PASS masked)
  int logins = 0;                     // successful logins

  std::vector<std::string> verbs() const {
    std::vector<std::string> out;
    for (const std::string& c : commands) out.push_back(c.substr(0, c.find(' ')));
    return out;
  }
  int count(const std::string& verb) const {
    int n = 0;
    for (const std::string& v : verbs()) n += v == verb;
    return n;
  }
};

// One server serving `root` to anonymous users and to `user`/`password`.
// failure() tells why it did not start (empty when it runs).
class LoopbackFtpServer {
 public:
  LoopbackFtpServer(ServerKind kind, const std::string& root, const std::string& user,
                    const std::string& password)
      : kind_(kind), log_path_(log_dir_.path() + "/protocol.log") {
    if (kind == ServerKind::kVsftpd && ::geteuid() != 0) {
      failure_ = "vsftpd needs root (it chroots and switches users)";
      return;
    }
    const std::string script =
        std::string(VANDRISK_SOURCE_DIR) + "/tests/servers/" +
        (kind == ServerKind::kVsftpd ? "vsftpd_server.py" : "pyftpd_server.py");
    std::vector<std::string> args = {VANDRISK_PYTHON, script,   "--root", root,     "--user", user,
                                     "--password",    password, "--log",  log_path_};
    if (kind == ServerKind::kPyftpdNoMlsd) args.push_back("--no-mlsd");
    start(args);
  }

  LoopbackFtpServer(const LoopbackFtpServer&) = delete;
  LoopbackFtpServer& operator=(const LoopbackFtpServer&) = delete;

  ~LoopbackFtpServer() {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);  // the launchers stop at EOF
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
    if (pid_ > 0 && !reaped_within(std::chrono::seconds(10))) {
      ::kill(pid_, SIGTERM);
      if (!reaped_within(std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
      }
    }
  }

  const std::string& failure() const { return failure_; }
  std::uint16_t port() const { return port_; }

  // Both launchers write their own log format; this reads either. vsftpd
  // writes the login line from another process than the commands, so a
  // caller that needs the count right after a login should allow a moment.
  ServerLog log() const {
    ServerLog log;
    const std::string text = read_file(log_path_);
    std::size_t begin = 0;
    while (begin < text.size()) {
      std::size_t end = text.find('\n', begin);
      if (end == std::string::npos) end = text.size();
      parse_line(text.substr(begin, end - begin), log);
      begin = end + 1;
    }
    return log;
  }

  // The log once it holds at least `logins` logins (or after two seconds).
  ServerLog log_with_logins(int logins) const {
    ServerLog current = log();
    for (int i = 0; i < 100 && current.logins < logins; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      current = log();
    }
    return current;
  }

 private:
  void start(const std::vector<std::string>& args) {
    int in_pipe[2], out_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
      failure_ = "pipe failed";
      return;
    }
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
      ::close(in_pipe[0]);
      ::close(in_pipe[1]);
      failure_ = "pipe failed";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
    if (rc != 0) {
      pid_ = -1;
      failure_ = "cannot run " + args[0];
      return;
    }
    // "PORT <n>\n" once the server accepts connections.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{stdout_fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[64];
      const ssize_t n = ::read(stdout_fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    if (line.rfind("PORT ", 0) == 0) {
      port_ = static_cast<std::uint16_t>(std::atoi(line.c_str() + 5));
    }
    if (port_ == 0) failure_ = std::string(server_name(kind_)) + " did not start: '" + line + "'";
  }

  bool reaped_within(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // pyftpd_server.py: "<session> VERB args" and "<session> LOGIN <user>".
  // vsftpd: '... FTP command: Client "127.0.0.1", "VERB args"' and
  // '... OK LOGIN: Client ...'.
  void parse_line(const std::string& line, ServerLog& log) const {
    if (kind_ == ServerKind::kVsftpd) {
      if (line.find("] OK LOGIN: ") != std::string::npos) ++log.logins;
      const std::string marker = "FTP command: Client \"";
      const std::size_t at = line.find(marker);
      if (at == std::string::npos) return;
      const std::size_t open = line.find("\", \"", at + marker.size());
      if (open == std::string::npos || line.back() != '"') return;
      log.commands.push_back(line.substr(open + 4, line.size() - open - 5));
      return;
    }
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) return;
    const std::string rest = line.substr(space + 1);
    if (rest.rfind("LOGIN ", 0) == 0 || rest == "LOGIN") {
      ++log.logins;
    } else {
      log.commands.push_back(rest);
    }
  }

  ServerKind kind_;
  ScratchDir log_dir_;
  std::string log_path_;
  std::string failure_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace vandrisk::testing

#endif  // VANDRISK_TESTING_TEST_SERVERS_H_
