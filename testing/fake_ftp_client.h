// An in-memory FTP server and a client backend over it, for unit tests of the
// walk and for the contract test that holds it to the libcurl backend.
//
// The tree is built with add_dir/add_file/add_other; entries list in the order
// they were added. Any operation can be made to fail on cue with a chosen error
// code. Fetches write real local files through the platform layer, so the
// atomic-file rules are exercised too. Records what it was asked.
#ifndef VANDRISK_TESTING_FAKE_FTP_CLIENT_H_
#define VANDRISK_TESTING_FAKE_FTP_CLIENT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"

namespace vandrisk {

class FakeFtpServer {
 public:
  FakeFtpServer();

  // Paths are '/'-separated and absolute; parents must exist (the root does).
  void add_dir(const std::string& path);
  void add_file(const std::string& path, const std::string& content);
  // An entry that is neither file nor directory (e.g. a LIST symlink).
  void add_other(const std::string& path);
  // An entry listed in dir under a name no path can spell ('/', '\\', NUL,
  // CR...). It can be listed, not fetched or walked.
  void add_raw_entry(const std::string& dir, const std::string& name, EntryKind kind);
  // An entry whose listing claims a size other than its content's length.
  void set_listed_size(const std::string& path, std::uint64_t size);

  // Failures on cue.
  void fail_open_session(FtpError error) { fail_session_ = error; }
  void fail_connect(FtpError error) { fail_connect_ = error; }
  void fail_listing(const std::string& dir, FtpError error) { fail_list_[normalize(dir)] = error; }
  // The listing of dir breaks off after `entries` entries.
  void break_listing(const std::string& dir, std::size_t entries, FtpError error);
  void fail_fetch(const std::string& path, FtpError error) { fail_get_[normalize(path)] = error; }
  // The fetch writes half the file, then fails (the partial data must not show).
  void fail_fetch_midway(const std::string& path, FtpError error) { midway_get_[normalize(path)] = error; }

  // What was asked, in order. Paths as the walk passed them.
  const std::vector<std::string>& listed_dirs() const { return listed_; }
  const std::vector<std::string>& fetched() const { return fetched_; }
  int logins() const { return logins_; }
  struct Credentials {
    bool anonymous;
    std::string user, pwd;
    std::string host;
    std::uint16_t port;
  };
  const std::vector<Credentials>& connects() const { return connects_; }

  // Resolves a path the way a server would: relative to the login directory
  // "/", empty segments dropped, "." and ".." applied.
  static std::string normalize(const std::string& path);

 private:
  friend class FakeFtpConnection;
  friend class FakeFtpSession;
  friend class FakeFtpClient;
  struct Node {
    EntryKind kind = EntryKind::kDirectory;
    std::string content;
    std::optional<std::uint64_t> listed_size;
    std::vector<std::string> children;  // names, in insertion order
  };
  void add(const std::string& path, Node node);

  std::map<std::string, Node> nodes_;
  std::map<std::string, std::map<std::string, Node>> raw_entries_;
  std::optional<FtpError> fail_session_, fail_connect_;
  std::map<std::string, FtpError> fail_list_, fail_get_, midway_get_;
  std::map<std::string, std::pair<std::size_t, FtpError>> break_list_;
  std::vector<std::string> listed_, fetched_;
  std::vector<Credentials> connects_;
  int logins_ = 0;
};

// One client per task, like the real backend: every connect() of one client
// counts as a single login.
class FakeFtpClient : public FtpClient {
 public:
  explicit FakeFtpClient(FakeFtpServer& server) : server_(server) {}
  std::unique_ptr<FtpSession> open_session(const std::string& agent, FtpError& error) override;

 private:
  FakeFtpServer& server_;
  bool logged_in_ = false;
  friend class FakeFtpSession;
};

}  // namespace vandrisk

#endif  // VANDRISK_TESTING_FAKE_FTP_CLIENT_H_
