// One remote file on its way to its final local name. Every backend's bytes
// pass through here: the count is checked against the listing's size and the
// file gets its name only when complete, whatever the backend.
#ifndef VANDRISK_DOWNLOAD_FILE_FETCH_H_
#define VANDRISK_DOWNLOAD_FILE_FETCH_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "download/console.h"
#include "download/large_file.h"
#include "download/names.h"
#include "ftp/ftp_client.h"
#include "platform/platform.h"

namespace vandrisk {

// A file to fetch: where from, where to, and what its listing told of it.
struct FetchJob {
  using Clock = std::chrono::steady_clock;

  FetchJob() = default;
  FetchJob(std::string remote, std::string local, std::optional<std::uint64_t> listed_size,
           std::string staging = std::string())
      : remote_path(std::move(remote)),
        local_path(std::move(local)),
        size(listed_size),
        staging_dir(std::move(staging)) {}
  // The job for `entry` of a listing that arrived at `listed`.
  FetchJob(std::string remote, std::string local, const FtpEntry& entry, Clock::time_point listed)
      : remote_path(std::move(remote)),
        local_path(std::move(local)),
        size(entry.size),
        time(entry.time),
        listed_at(listed) {}

  std::string remote_path;
  std::string local_path;  // '\\'-separated final name
  std::optional<std::uint64_t> size;
  EntryTime time;
  Clock::time_point listed_at;  // when the listing that told of it arrived
  // The remote path as the console shows it, where that differs (charset=).
  std::string shown_path;
  const std::string& shown() const { return shown_path.empty() ? remote_path : shown_path; }
  // Where the unnamed file waits until it is published: a directory above
  // local_path on the same file system, for a file fetched before its own
  // directory exists. Empty: local_path's own directory.
  std::string staging_dir;
};

// Why a fetch failed. `remote.code` is what the console would show; `local`
// names the local operation and the OS's code when the failure was local
// (local.operation is null otherwise).
struct FetchFailure {
  enum class Kind {
    kFailed,        // the file could not be fetched: the task fails
    kChanging,      // the server's file is still changing (or too new): pass it over
    kNoServerTime,  // min_age asks for a time the server does not tell: the task fails
  };
  Kind kind = Kind::kFailed;
  FtpStatus remote;
  platform::LocalError local;
  // The transfer ended with another count of bytes than the listing told.
  bool count_differs = false;
};

// What a file must pass before it is published. Users set min_age; the
// interval is the test build's to shorten.
struct FetchChecks {
  // A file the listing does not show as old is asked about again (SIZE or
  // MLST) once its transfer is done and at least this long after its listing.
  long settle_ms = 1000;
  // Files changed less than this many seconds ago are passed over.
  int min_age_s = 0;
  LargeFileTuning large;
  // How names are read (charset=), and head and tail in those terms.
  NameRules names;
};

class FileFetch {
 public:
  // A file whose listed size is large by `large` goes through a LargeFile.
  explicit FileFetch(FetchJob job, const LargeFileTuning* large = nullptr);

  const FetchJob& job() const { return job_; }
  std::uint64_t received() const { return large_ ? large_->size() : received_; }

  // The large file's state, which other connections may share to help;
  // null for a file that is not large.
  const std::shared_ptr<LargeFile>& large() const { return large_; }
  // Opens a large file's partial (see LargeFile::open). A name too long to
  // have one makes it an ordinary file. False with the failure.
  bool open_large(const std::string& modify, FetchFailure& failure);
  // Failed attempts so far, by every connection that worked on the file,
  // and one more; false when the retries are used up.
  int failures() const { return large_ ? large_->failures() : failures_; }
  bool count_failure(int retries);
  // The fetch is given up: other connections stop, and where the remote
  // file changed the partial of a large file goes too.
  void give_up(bool changed);

  // One attempt over `connection`. The first creates the unnamed local file;
  // a later one goes on from the bytes already received (REST), and starts
  // over where the server will not resume. True when the whole file is here:
  // every byte the listing promised, no more (a file that grew is cut off and
  // fails as a local "size" failure, one that came short as kConnectionAborted;
  // both with count_differs). Every byte and then no final reply, or a
  // control connection that broke after them, is a whole file too, but one
  // whose connection is of no further use (take_lost_connection()).
  // While it runs, `console` (when given) shows it on the progress line.
  bool attempt(FtpConnection& connection, FetchFailure& failure, Console* console = nullptr);
  // Whether an attempt brought the whole file; only the look before it is
  // published may be left, on any connection.
  bool complete() const { return complete_; }
  // Whether the connection the whole file came over is of no further use.
  // Asked once: by the connection that goes on after it.
  bool take_lost_connection() { return std::exchange(connection_lost_, false); }

  // Whether what the server now says of the file (`facts`) shows it changed
  // since its listing: another size than the listing's (than what arrived,
  // where the listing told none), or another time where both tell one.
  bool changed(const RemoteFacts& facts) const;

  // Gives the complete file its final name (never over an existing one).
  // `durable`: a small file's data was made durable with others' already
  // (platform::sync_file_system); a large file always syncs its own.
  bool publish(FetchFailure& failure, bool durable = false);

 private:
  bool attempt_once(FtpConnection& connection, FetchFailure& failure, Console* console);

  FetchJob job_;
  std::unique_ptr<platform::NewLocalFile> file_;
  std::uint64_t received_ = 0;
  bool connection_lost_ = false;
  bool complete_ = false;
  int failures_ = 0;
  std::shared_ptr<LargeFile> large_;
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_FILE_FETCH_H_
