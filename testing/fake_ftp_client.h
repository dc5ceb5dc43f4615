// An in-memory FTP server and a client backend over it, for unit tests of the
// walk and for the contract test that holds it to the real backends.
//
// The tree is built with add_dir/add_file/add_other; entries list in the order
// they were added. Any operation can be made to fail on cue, for good or for a
// number of times, with a chosen code. Records what it was asked. Safe to use
// from several threads at once, like a real server.
#ifndef VANDRISK_TESTING_FAKE_FTP_CLIENT_H_
#define VANDRISK_TESTING_FAKE_FTP_CLIENT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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
  // A link listed as a directory, as a server that resolves links lists it:
  // listing it lists `target` (one level; paths below it are not resolved).
  void add_dir_link(const std::string& path, const std::string& target);
  // Directories then tell their identity, as MLSD's "unique" fact does: in
  // their entries and through identity(); with `cdir` also in their own
  // listing (a "type=cdir" line).
  void report_identities(bool cdir) {
    identities_ = true;
    cdir_ = cdir;
  }
  // An entry listed in dir under a name no path can spell ('/', '\\', NUL,
  // CR...). It can be listed, not fetched or walked.
  void add_raw_entry(const std::string& dir, const std::string& name, EntryKind kind);
  // An entry whose listing claims a size other than its content's length.
  void set_listed_size(const std::string& path, std::uint64_t size);
  // The file's MLSD "modify" fact. Every file starts out modified long ago
  // ("20000101000000"), so the walk has no reason to look at it again.
  void set_modify(const std::string& path, const std::string& modify);
  // The file changes after its listing: `more` is appended to it before its
  // first fetch (which then brings it all) or right after that fetch (which
  // brings what was listed). Its time changes with it; SIZE and MLST tell
  // the file as it is then, listings keep telling it as it was (whenever
  // they come, so that the order of listings and fetches does not matter).
  void grow_file(const std::string& path, const std::string& more, bool before_fetch);
  // Where a login lands (PWD); relative paths start there. Default "/".
  void set_login_directory(const std::string& path) { login_directory_ = path; }

  // Failures on cue. `times` < 0: every time; otherwise the next `times`
  // attempts fail and later ones succeed.
  // `after`: the next so many logins still succeed.
  void fail_connect(FtpStatus status, int times = -1, int after = 0) {
    connect_fault_ = {status, times};
    connects_before_fault_ = after;
  }
  // A login while `connections` others are open fails, like a server that
  // allows only so many (421 too many connections).
  void limit_connections(int connections) { connection_limit_ = connections; }
  void fail_listing(const std::string& dir, FtpStatus status, int times = -1) {
    list_faults_[normalize(dir)] = {status, times};
  }
  // The listing of dir breaks off after `entries` entries.
  void break_listing(const std::string& dir, std::size_t entries, FtpError error);
  void fail_fetch(const std::string& path, FtpStatus status, int times = -1) {
    fetch_faults_[normalize(path)] = {status, times};
  }
  // The fetch delivers half of what is left of the file, then fails.
  void fail_fetch_midway(const std::string& path, FtpStatus status, int times = -1) {
    midway_faults_[normalize(path)] = {status, times};
  }
  // A transfer that gets to byte `at` of the file stops there and fails,
  // whichever offset it started from.
  void fail_fetch_at(const std::string& path, std::uint64_t at, FtpStatus status, int times = -1) {
    drop_at_[normalize(path)] = {at, {status, times}};
  }
  // Fetches deliver their bytes `bytes` at a time, yielding in between.
  void deliver_in_chunks(std::size_t bytes) { chunk_ = bytes; }
  // The fetch delivers the whole file, then fails (a final reply that never
  // came: kTimeout with no reply code).
  void fail_fetch_after_data(const std::string& path, FtpStatus status, int times = -1) {
    after_data_faults_[normalize(path)] = {status, times};
  }

  // What was asked, in order. Paths as the walk passed them.
  std::vector<std::string> listed_dirs() const;
  std::vector<std::string> fetched() const;
  std::vector<std::string> looked_at() const;
  int logins() const;
  // Every login attempt's account, the port as the server saw it (0 is 21).
  std::vector<FtpAccount> connects() const;

  // Resolves a path the way a server would: relative to the login directory,
  // empty segments dropped, "." and ".." applied.
  std::string resolve(const std::string& path) const;
  static std::string normalize(const std::string& path);

 private:
  friend class FakeFtpConnection;
  friend class FakeFtpClient;
  struct Node {
    EntryKind kind = EntryKind::kDirectory;
    std::string content;
    std::optional<std::uint64_t> listed_size;
    std::vector<std::string> children;  // names, in insertion order
    std::string link_target;            // a directory link: where it leads
    std::string modify = "20000101000000";
    std::string growth;                 // what grow_file appends, not yet appended
    bool grows_before_fetch = false;
    std::optional<std::uint64_t> listing_size;  // what listings tell of a growing file
    std::string listed_modify;                  // and its time
  };
  struct Fault {
    FtpStatus status;
    int times = -1;
  };
  void add(const std::string& path, Node node);
  // Whether the fault in `faults` for `key` fires now (and counts it down).
  static bool fires(std::map<std::string, Fault>& faults, const std::string& key,
                    FtpStatus& status);

  std::map<std::string, Node> nodes_;
  std::map<std::string, std::map<std::string, Node>> raw_entries_;
  std::string login_directory_ = "/";
  bool identities_ = false;
  bool cdir_ = false;
  std::optional<Fault> connect_fault_;
  int connects_before_fault_ = 0;
  int connection_limit_ = -1;
  std::map<std::string, Fault> list_faults_, fetch_faults_, midway_faults_, after_data_faults_;
  std::map<std::string, std::pair<std::size_t, FtpError>> break_list_;
  std::map<std::string, std::pair<std::uint64_t, Fault>> drop_at_;
  std::size_t chunk_ = 0;

  // Guards the faults and the records below (held by pointer so that test
  // fixtures can keep servers in a vector).
  std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
  std::vector<std::string> listed_, fetched_, looked_;
  std::vector<FtpAccount> connects_;
  int logins_ = 0;
  int open_connections_ = 0;
};

// A client of the fake server: every connect() is one login.
class FakeFtpClient : public FtpClient {
 public:
  // `tls`: whether the client claims it can log in with TLS.
  explicit FakeFtpClient(FakeFtpServer& server, bool tls = true) : server_(server), tls_(tls) {}
  std::unique_ptr<FtpConnection> connect(const FtpAccount& account, FtpStatus& status,
                                         const std::atomic<bool>* stop = nullptr) override;
  bool supports_tls() const override { return tls_; }

 private:
  FakeFtpServer& server_;
  bool tls_;
};

}  // namespace vandrisk

#endif  // VANDRISK_TESTING_FAKE_FTP_CLIENT_H_
