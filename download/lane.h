// One connection of a task and the way it tries again. A listing or a fetch
// that fails for a transient reason (see is_transient) is tried again after
// 1 s, 2 s, 4 s... (at most 30 s), up to `retries` times, on a fresh login
// where the connection was lost; each retry leaves one note on standard
// error. A fetch goes on from the bytes it already has. Anything else fails
// at once, as without retries.
#ifndef VANDRISK_DOWNLOAD_LANE_H_
#define VANDRISK_DOWNLOAD_LANE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "download/console.h"
#include "download/file_fetch.h"
#include "ftp/ftp_client.h"

namespace vandrisk {

// Tells a task's threads to stop: in-flight transfers end early (the flag
// reaches the connections) and waits between retries end at once.
class StopSignal {
 public:
  void request();
  bool requested() const { return flag_.load(); }
  const std::atomic<bool>* flag() const { return &flag_; }
  // Waits `ms` milliseconds unless stopped first; true when stopped.
  bool wait_ms(long ms);

 private:
  std::atomic<bool> flag_{false};
  std::mutex mutex_;
  std::condition_variable stopped_;
};

struct RetryPolicy {
  int retries = 0;
  long first_delay_ms = 1000;  // doubled each time...
  long max_delay_ms = 30000;   // ...up to this
};

class Lane {
 public:
  Lane(FtpClient& client, const FtpAccount& account, const RetryPolicy& policy,
       const FetchChecks& checks, Console& console, StopSignal* stop = nullptr)
      : client_(client),
        account_(account),
        policy_(policy),
        checks_(checks),
        console_(console),
        stop_(stop) {}

  // Logs in, trying again after transient failures when `retry` is set.
  bool connect(FtpStatus& status, bool retry);
  // Hands the connection over to another lane (of another thread).
  std::unique_ptr<FtpConnection> release() { return std::move(connection_); }
  void adopt(std::unique_ptr<FtpConnection> connection) {
    connection_ = std::move(connection);
    if (connection_) login_directory_ = connection_->login_directory();
  }
  const std::string& login_directory() const { return login_directory_; }
  // False after a failure lost the connection and logging in again failed.
  bool connected() const { return connection_ != nullptr; }
  // One of several connections of a task: when the server refuses a new
  // login (421 too many connections) after this one's was lost, list() and
  // fetch() end at once, uncounted, with connected() false, so that the
  // work goes to a connection the task still has, as it stands.
  void hand_back_when_refused() { hand_back_ = true; }

  // Lists `dir` (see FtpConnection::list). A listing that still breaks off
  // after the last retry comes back as it came: entries and cut_short.
  // For the walk's `top` directory the listing's own identity is asked for
  // separately (MLST) when the entries have identities but it has none.
  bool list(const std::string& dir, FtpListing& listing, FtpStatus& status, bool top = false);
  // The file of `file`'s job, complete and checked (see FileFetch::attempt),
  // with retries. A file that changes on the server while it is fetched, or
  // changed less than min_age seconds ago, fails with Kind::kChanging; one
  // whose time min_age needs and the server cannot tell, with kNoServerTime.
  //
  // A file the listing does not show as old is asked about once more after
  // its transfer, at least settle_ms after its listing (waiting for the rest
  // of that time when the transfer was quicker): only an unchanged size and
  // time let it through. A server that cannot say (SIZE refused) lets it
  // through as it is.
  bool fetch(FileFetch& file, FetchFailure& failure);
  // Works on a range of a large file that another lane fetches (see
  // LargeFile::help). True when a range was done.
  bool help(LargeFile& file);
  const FetchChecks& checks() const { return checks_; }

 private:
  // After `attempt` (0-based) failed with `status`: whether to try again. If
  // so, drops the connection when the failure may have lost it, notes the
  // retry (`note` gets the seconds of the wait) and waits; false when the
  // failure is not transient, the retries are used up or the task stops.
  bool try_again(int attempt, const FtpStatus& status,
                 const std::function<std::string(unsigned seconds)>& note);
  long delay_ms(int attempt) const;
  bool ensure_connected(FtpStatus& status);
  bool refused_login(const FtpStatus& status) const;
  // FtpConnection::look with retries.
  bool look(const std::string& path, unsigned wanted, RemoteFacts& facts, FtpStatus& status);
  // min_age: whether the file is old enough to fetch; false with the
  // failure's kind saying why not, or with the look's failure.
  bool old_enough(const FetchJob& job, FetchFailure& failure);
  // The transfer part of fetch(): attempts with retries until the file is
  // whole; false with the failure (the file given up, unless the login was
  // refused).
  bool transfer(FileFetch& file, FetchFailure& failure);
  // Whether the fetched file stayed as listed; false with kChanging, or with
  // the look's failure.
  bool settled(const FileFetch& file, FetchFailure& failure);
  // Waits until `when` unless the task stops first; false when stopped.
  bool wait_until(std::chrono::steady_clock::time_point when);

  FtpClient& client_;
  const FtpAccount& account_;
  RetryPolicy policy_;
  FetchChecks checks_;
  Console& console_;
  StopSignal* stop_;
  std::unique_ptr<FtpConnection> connection_;
  std::string login_directory_;
  bool hand_back_ = false;
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_LANE_H_
