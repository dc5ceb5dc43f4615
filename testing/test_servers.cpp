#include "testing/test_servers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "testing/test_support.h"

extern char** environ;

namespace vandrisk::test {
namespace {

const char* kind_word(ServerKind kind) {
  switch (kind) {
    case ServerKind::kPyftpd:
    case ServerKind::kPyftpdNoMlsd:
      return "pyftpd";
    case ServerKind::kVsftpd:
      return "vsftpd";
    case ServerKind::kFault:
      return "fault";
  }
  return "?";
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::vector<std::string> ServerLog::verbs() const {
  std::vector<std::string> out;
  for (const std::string& c : commands) out.push_back(c.substr(0, c.find(' ')));
  return out;
}

int ServerLog::count(const std::string& verb) const {
  int n = 0;
  for (const std::string& v : verbs()) n += v == verb;
  return n;
}

TestServer::TestServer(ServerKind kind, const std::string& root, const Options& options) {
  std::vector<std::string> args = {VANDRISK_PYTHON,
                                   std::string(VANDRISK_SOURCE_DIR) + "/tests/servers/serve.py",
                                   kind_word(kind), "--root", root};
  if (!options.user.empty()) {
    args.insert(args.end(), {"--user", options.user, "--password", options.password});
  }
  if (kind == ServerKind::kPyftpdNoMlsd) args.push_back("--no-mlsd");
  if (kind == ServerKind::kFault && !options.scenario.empty()) {
    const std::string path = scenario_dir_.path() + "/scenario.json";
    write_file(path, options.scenario);
    args.insert(args.end(), {"--scenario", path});
  }

  int in_pipe[2], out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) {
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
  to_server_ = in_pipe[1];
  from_server_ = out_pipe[0];
  if (rc != 0) {
    pid_ = -1;
    failure_ = "cannot run " + args[0];
    return;
  }
  // "PORT <n>" once the server accepts connections, "SKIP <why>" or "FAIL <why>".
  std::string line;
  if (!read_line(line, 30000)) {
    failure_ = std::string(kind_word(kind)) + " did not start";
  } else if (line.rfind("PORT ", 0) == 0) {
    port_ = static_cast<std::uint16_t>(std::atoi(line.c_str() + 5));
    if (port_ == 0) failure_ = "bad port line: " + line;
  } else if (line.rfind("SKIP ", 0) == 0) {
    skipped_ = line.substr(5);
  } else {
    failure_ = line;
  }
}

TestServer::~TestServer() {
  if (to_server_ >= 0) ::close(to_server_);  // serve.py stops at EOF
  if (from_server_ >= 0) ::close(from_server_);
  if (pid_ <= 0) return;
  for (int i = 0; i < 1000; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool TestServer::read_line(std::string& line, int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::size_t end;
  while ((end = pending_.find('\n')) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{from_server_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(from_server_, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
  line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return true;
}

ServerLog TestServer::log() const {
  ServerLog log;
  if (port_ == 0 || !write_all(to_server_, "LOG\n")) return log;
  std::string line;
  while (read_line(line, 10000) && line != ".") {
    if (line.rfind("LOGIN", 0) == 0) {
      ++log.logins;
    } else {
      log.commands.push_back(line);
    }
  }
  return log;
}

ServerLog TestServer::log_with_logins(int logins) const {
  ServerLog current = log();
  for (int i = 0; i < 100 && current.logins < logins; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    current = log();
  }
  return current;
}

}  // namespace vandrisk::test
