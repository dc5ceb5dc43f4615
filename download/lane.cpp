#include "download/lane.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "ftp/remote_time.h"
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

bool Lane::refused_login(const FtpStatus& status) const {
  return hand_back_ && status.code == ftp_errors::kExtendedError && status.reply == 421;
}

bool Lane::list(const std::string& dir, FtpListing& listing, FtpStatus& status, bool top) {
  for (int attempt = 0;; ++attempt) {
    const bool connected = ensure_connected(status);
    if (!connected && refused_login(status)) return false;
    bool ok = connected && connection_->list(dir, listing, status);
    listing.listed_at = std::chrono::steady_clock::now();
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

bool Lane::look(const std::string& path, unsigned wanted, RemoteFacts& facts,
                FtpStatus& status) {
  for (int attempt = 0;; ++attempt) {
    const bool connected = ensure_connected(status);
    if (!connected && refused_login(status)) return false;
    if (connected && connection_->look(path, wanted, facts, status)) return true;
    if (!try_again(attempt, status, [&](unsigned seconds) {
          return msg::retry_fetch(path.c_str(), status.code, seconds, attempt + 1,
                                  policy_.retries);
        })) {
      return false;
    }
  }
}

bool Lane::wait_until(std::chrono::steady_clock::time_point when) {
  const auto left = when - std::chrono::steady_clock::now();
  if (left <= left.zero()) return true;
  const long ms = static_cast<long>(
      std::chrono::ceil<std::chrono::milliseconds>(left).count());
  if (stop_) return !stop_->wait_ms(ms);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return true;
}

namespace {

// A server that has no such command, or will not answer it for this file:
// it cannot tell, which is no reason to hold a file back.
bool cannot_tell(const FtpStatus& status) {
  return status.code == ftp_errors::kExtendedError && status.reply >= 500;
}

std::int64_t seconds_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool Lane::old_enough(const FetchJob& job, FetchFailure& failure) {
  std::string modify = job.time.modify;
  if (modify.empty()) {
    RemoteFacts facts;
    if (!look(job.remote_path, FtpConnection::kTime, facts, failure.remote) &&
        !cannot_tell(failure.remote)) {
      return false;
    }
    modify = facts.modify;
  }
  const std::optional<std::int64_t> modified = time_val_seconds(modify);
  if (!modified) {
    failure.kind = FetchFailure::Kind::kNoServerTime;
    return false;
  }
  if (*modified > seconds_now() - checks_.min_age_s) {
    failure.kind = FetchFailure::Kind::kChanging;
    return false;
  }
  return true;
}

bool Lane::settled(const FileFetch& file, FetchFailure& failure) {
  const FetchJob& job = file.job();
  if (listed_as_old(job.time, seconds_now())) return true;
  // One look right after a quick transfer would come milliseconds after the
  // listing, too soon to see a writer that appends now and then.
  if (!wait_until(job.listed_at + std::chrono::milliseconds(checks_.settle_ms))) {
    failure.remote = {ftp_errors::kOperationCancelled, 0};
    return false;
  }
  RemoteFacts facts;
  const unsigned wanted = FtpConnection::kSize | (job.time.modify.empty() ? 0u : FtpConnection::kTime);
  if (!look(job.remote_path, wanted, facts, failure.remote)) return cannot_tell(failure.remote);
  if (!file.changed(facts)) return true;
  failure.kind = FetchFailure::Kind::kChanging;
  return false;
}

bool Lane::fetch(FileFetch& file, FetchFailure& failure) {
  failure = FetchFailure();
  // A whole file that another connection handed over, lost before its
  // look, needs only that look.
  if (!file.complete() && !transfer(file, failure)) return false;
  // The walk goes on over a fresh connection, and so does the look below.
  if (file.take_lost_connection()) connection_.reset();
  if (settled(file, failure)) return true;
  // The server would not take this connection back (most likely: others
  // took its place). One of those looks instead; the bytes stay.
  if (refused_login(failure.remote)) return false;
  file.give_up(failure.kind == FetchFailure::Kind::kChanging);
  return false;
}

bool Lane::transfer(FileFetch& file, FetchFailure& failure) {
  const FetchJob& job = file.job();
  if (checks_.min_age_s > 0 && !old_enough(job, failure)) return false;
  if (file.large() && !file.large()->opened()) {
    // The partial's journal holds the remote file's time, so that a later
    // run resumes only the same file; LIST tells none exact enough. (A file
    // another connection handed back is open already.)
    std::string modify = job.time.modify;
    RemoteFacts facts;
    if (modify.empty() && ensure_connected(failure.remote) &&
        connection_->look(job.remote_path, FtpConnection::kTime, facts, failure.remote)) {
      modify = facts.modify;
    }
    failure = FetchFailure();
    if (!file.open_large(modify, failure)) return false;
  }
  for (;;) {
    failure = FetchFailure();
    if (!ensure_connected(failure.remote)) {
      if (refused_login(failure.remote)) return false;
    } else if (file.attempt(*connection_, failure, &console_)) {
      break;
    }
    if (failure.count_differs) {
      // A file that changed since its listing is no broken transfer.
      RemoteFacts facts;
      FtpStatus status;
      if (connection_ && connection_->look(job.remote_path, FtpConnection::kSize |
                                               FtpConnection::kTime, facts, status) &&
          file.changed(facts)) {
        failure.kind = FetchFailure::Kind::kChanging;
        file.give_up(true);
        return false;
      }
    }
    // A local failure (a full disk, a file that grew) stays one. Failures
    // of other connections that helped with the file count too.
    const int attempt = file.failures();
    if (failure.local.operation ||
        !try_again(attempt, failure.remote, [&](unsigned seconds) {
          return msg::retry_fetch(job.remote_path.c_str(), failure.remote.code, seconds,
                                  attempt + 1, policy_.retries);
        }) ||
        !file.count_failure(policy_.retries)) {
      file.give_up(false);
      return false;
    }
  }
  return true;
}

bool Lane::help(LargeFile& file) {
  FtpStatus status;
  if (!ensure_connected(status)) return false;
  bool lost = false;
  FetchFailure failure;
  const bool done = file.help(*connection_, policy_.retries, lost, failure);
  // As after a failure of the walk's own fetches: a connection that may
  // have dropped is not used again.
  if (lost || (!done && failure.remote.code != ftp_errors::kNone &&
               failure.remote.code != ftp_errors::kOperationCancelled &&
               (failure.remote.code != ftp_errors::kExtendedError || failure.remote.reply == 421))) {
    connection_.reset();
  }
  return done;
}

}  // namespace vandrisk
