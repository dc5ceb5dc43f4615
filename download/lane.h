// One connection of a task and the way it tries again. A listing or a fetch
// that fails for a transient reason (see is_transient) is tried again after
// 1 s, 2 s, 4 s... (at most 30 s), up to `retries` times, on a fresh login
// where the connection was lost; each retry leaves one note on standard
// error. A fetch goes on from the bytes it already has. Anything else fails
// at once, as without retries.
#ifndef VANDRISK_DOWNLOAD_LANE_H_
#define VANDRISK_DOWNLOAD_LANE_H_

#include <atomic>
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
  Lane(FtpClient& client, const FtpAccount& account, const RetryPolicy& policy, Console& console,
       StopSignal* stop = nullptr)
      : client_(client), account_(account), policy_(policy), console_(console), stop_(stop) {}

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

  // Lists `dir` (see FtpConnection::list). A listing that still breaks off
  // after the last retry comes back as it came: entries and cut_short.
  // For the walk's `top` directory the listing's own identity is asked for
  // separately (MLST) when the entries have identities but it has none.
  bool list(const std::string& dir, FtpListing& listing, FtpStatus& status, bool top = false);
  // One more attempt at `file` (see FileFetch::attempt), with retries.
  bool fetch(FileFetch& file, FetchFailure& failure);

 private:
  // After `attempt` (0-based) failed with `status`: whether to try again. If
  // so, drops the connection when the failure may have lost it, notes the
  // retry (`note` gets the seconds of the wait) and waits; false when the
  // failure is not transient, the retries are used up or the task stops.
  bool try_again(int attempt, const FtpStatus& status,
                 const std::function<std::string(unsigned seconds)>& note);
  long delay_ms(int attempt) const;
  bool ensure_connected(FtpStatus& status);

  FtpClient& client_;
  const FtpAccount& account_;
  RetryPolicy policy_;
  Console& console_;
  StopSignal* stop_;
  std::unique_ptr<FtpConnection> connection_;
  std::string login_directory_;
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_LANE_H_
