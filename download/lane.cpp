#include "download/lane.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "messages/messages.h"

namespace vandrisk {

void StopSignal::request() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    flag_ = true;
  }
  stopped_.notify_all();
}

bool StopSignal::wait_ms(long ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return flag_.load(); });
}

long Lane::delay_ms(int attempt) const {
  long delay = policy_.first_delay_ms;
  for (int i = 1; i < attempt && delay < policy_.max_delay_ms; ++i) delay *= 2;
  return std::min(delay, policy_.max_delay_ms);
}

bool Lane::try_again(int attempt, const FtpStatus& status,
                     const std::function<std::string(unsigned seconds)>& note) {
  if (attempt >= policy_.retries || !is_transient(status.code, status.reply)) return false;
  if (stop_ && stop_->requested()) return false;
  // A timeout or a dropped connection leaves the control connection in an
  // unknown state, and a 421 closes it: log in afresh. After 425/426/450/451
  // the server goes on serving the same connection.
  if (status.code != ftp_errors::kExtendedError || status.reply == 421) connection_.reset();
  const long ms = delay_ms(attempt + 1);
  console_.note(note(static_cast<unsigned>(ms / 1000)));
  if (stop_) return !stop_->wait_ms(ms);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return true;
}

bool Lane::ensure_connected(FtpStatus& status) {
  if (connection_) return true;
  connection_ = client_.connect(account_, status, stop_ ? stop_->flag() : nullptr);
  if (!connection_) return false;
  login_directory_ = connection_->login_directory();
  return true;
}

bool Lane::connect(FtpStatus& status, bool retry) {
  for (int attempt = 0;; ++attempt) {
    if (ensure_connected(status)) return true;
    if (!retry || !try_again(attempt, status, [&](unsigned seconds) {
          return msg::retry_connect(status.code, seconds, attempt + 1, policy_.retries);
        })) {
      return false;
    }
  }
}

bool Lane::list(const std::string& dir, FtpListing& listing, FtpStatus& status, bool top) {
  for (int attempt = 0;; ++attempt) {
    bool ok = ensure_connected(status) && connection_->list(dir, listing, status);
    if (ok && listing.cut_short == ftp_errors::kNone) {
      // The top's identity is in no parent's listing; pyftpdlib sends no
      // "type=cdir" line with it either.
      if (top && listing.unique.empty() &&
          std::any_of(listing.entries.begin(), listing.entries.end(),
                      [](const FtpEntry& entry) { return !entry.unique.empty(); })) {
        listing.unique = connection_->identity(dir);
      }
      return true;
    }
    if (ok) status = {listing.cut_short, 0};
    if (!try_again(attempt, status, [&](unsigned seconds) {
          return msg::retry_listing(dir.c_str(), status.code, seconds, attempt + 1,
                                    policy_.retries);
        })) {
      return ok;  // a listing cut short still hands over what it has
    }
  }
}

bool Lane::fetch(FileFetch& file, FetchFailure& failure) {
  for (int attempt = 0;; ++attempt) {
    failure = FetchFailure();
    if (ensure_connected(failure.remote) && file.attempt(*connection_, failure, &console_)) {
      return true;
    }
    // A local failure (a full disk, a file that grew) stays one.
    if (failure.local.operation ||
        !try_again(attempt, failure.remote, [&](unsigned seconds) {
          return msg::retry_fetch(file.job().remote_path.c_str(), failure.remote.code, seconds,
                                  attempt + 1, policy_.retries);
        })) {
      return false;
    }
  }
}

}  // namespace vandrisk
