// A large file on its way to its final name: its bytes come as byte ranges,
// over one connection or several at once, and are written at their offsets
// into a partial file (platform.h) whose journal says which ranges are on
// disk. A killed run leaves both behind, and the next one goes on from the
// journal when the remote file is still the one it names.
#ifndef VANDRISK_DOWNLOAD_LARGE_FILE_H_
#define VANDRISK_DOWNLOAD_LARGE_FILE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "download/console.h"
#include "ftp/ftp_client.h"
#include "platform/platform.h"

namespace vandrisk {

struct FetchFailure;
struct FetchJob;

// When a file counts as large and how its ranges are handled. Users set
// none of it; tests make files large at a few kilobytes.
struct LargeFileTuning {
  std::uint64_t threshold = 64ull << 20;  // listed size from which a file is large
  // The journal follows the data after this many new bytes, or this long.
  std::uint64_t journal_bytes = 4ull << 20;
  long journal_ms = 1000;
  // Before a second connection joins, the first runs this long alone: its
  // rate says whether more connections could pay.
  long probe_ms = 500;
  // They pay only while the transfer has this long left at its rate.
  double min_seconds_left = 3.0;
  // And only while joining connections raise the total rate by this much
  // (1.15: by 15%); 0 never checks.
  double min_gain = 1.15;
  // Bytes re-read before each point a killed run stopped at, to check that
  // the server still sends what is on disk.
  std::uint64_t overlap = 64ull << 10;
  // The connections the task may have (parallel=N); 1 never splits.
  int connections = 1;
  // No range is split below twice this (threshold / 16 by default).
  std::uint64_t min_piece() const { return threshold / 16 > 0 ? threshold / 16 : 1; }
};

// Whether the partial whose journal is `journal` may still be resumed for
// the listed `entry` at `remote_path`: a large file of the size and (where
// the listing tells one) the time the journal names.
bool partial_still_wanted(const std::string& journal, const std::string& remote_path,
                          const FtpEntry& entry, const LargeFileTuning& tuning);

// Removes the partials in `local_dir` that a complete listing of
// `remote_dir` shows to be of no more use: their remote file is gone or has
// changed, or stands fetched locally after all. Partials of files that are
// being fetched (`in_use`: their local paths) stay whatever their journal
// says meanwhile.
struct FetchChecks;
void drop_stale_partials(const FtpListing& listing, const std::string& remote_dir,
                         const std::string& local_dir, const FetchChecks& checks,
                         const std::set<std::string>& in_use = {});

class LargeFile {
 public:
  using Clock = std::chrono::steady_clock;

  LargeFile(std::string remote_path, std::string local_path, std::uint64_t size,
            const LargeFileTuning& tuning);
  ~LargeFile();
  LargeFile(const LargeFile&) = delete;
  LargeFile& operator=(const LargeFile&) = delete;

  // Opens the partial. Its bytes are kept when its journal names this remote
  // path, this size and this time (`modify`: the server's, MLSD or MDTM);
  // without a time it starts over. False with the failure (a name too long
  // for a partial: failure.local.code ENAMETOOLONG or ERROR_INVALID_NAME).
  bool open(const std::string& modify, FetchFailure& failure);
  bool opened() const { return partial_ != nullptr; }

  // The file's first connection: fetches the ranges still missing over
  // `connection`, one after another, waiting at the end for those that
  // others took, until every byte is on disk (true) or the file failed.
  // `lost` tells that the connection is of no further use (every byte came,
  // the final reply did not).
  bool fetch(FtpConnection& connection, Console* console, FetchFailure& failure, bool& lost);

  // Another connection of the task, idle for now: takes a range (one that is
  // waiting, or the upper half of the largest one in progress, where a split
  // pays) and fetches it. False when there was nothing to take or the range
  // failed; a failure that the retries cannot cover fails the file.
  bool help(FtpConnection& connection, int retries, bool& lost, FetchFailure& failure);
  // Whether a connection that came to help now would find work.
  bool wants_help(Clock::time_point now);
  // Whether help may soon be wanted: the first connection is still alone and
  // the file could be split. The task logs its other connections in
  // meanwhile, so that those that come to help start at once.
  bool may_want_help() const;

  // Counts one failed attempt of the file's first connection; false when
  // the retries are used up (the file has failed).
  bool count_failure(int retries);
  int failures() const;

  // Gives the complete file its final name. After failures that keep the
  // remote file as it was, the partial stays for a later run; discard()
  // removes it (a remote file that changed).
  bool publish(FetchFailure& failure);
  void discard();
  // Stops every connection that helps (each at its next write) and waits
  // until none writes any more.
  void stop();

  std::uint64_t size() const { return size_; }

 private:
  struct Range {
    std::uint64_t begin;    // first byte of the range
    std::uint64_t done;     // bytes [begin, done) are on disk
    std::uint64_t claimed;  // bytes [begin, claimed) are on disk or being written
    std::uint64_t end;      // one past the last byte; lowered by a split
    std::uint64_t verify;   // bytes before begin to read again and compare
    bool busy = false;      // a connection works on it
  };
  class Sink;
  enum class Took { kRange, kWait, kNothing };
  // How one range's transfer ended: all its bytes are there; nothing of it
  // counts (the file started over, a split went back, another connection's
  // failure stopped it); or it failed.
  enum class RangeEnd { kDone, kAgain, kFailed };

  // In byte order, covering [0, size). A list: a range keeps its place
  // (and the connection working on it its iterator) while splits add others.
  using Ranges = std::list<Range>;

  // All with mutex_ held.
  Took take(bool helper, Ranges::iterator& range, Clock::time_point now);
  // Whether splitting the range in progress that has `left` bytes to go
  // (of `busy` ranges in progress) would pay.
  bool split_pays(std::uint64_t left, std::size_t busy, Clock::time_point now);
  bool all_done() const;
  std::string journal_text() const;
  std::string empty_journal() const;  // the journal's head, no ranges
  void start_over();

  // One range over `connection`.
  RangeEnd fetch_range(FtpConnection& connection, Ranges::iterator range, FetchFailure& failure,
                       bool& lost);
  void wrote(Ranges::iterator range, int generation, std::uint64_t bytes);
  void update_journal(bool force);

  const std::string remote_path_;
  const std::string local_path_;
  const std::uint64_t size_;
  const LargeFileTuning tuning_;
  std::string modify_;
  std::unique_ptr<platform::PartialFile> partial_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Ranges ranges_;
  int generation_ = 0;          // bumped when everything starts over
  int in_flight_ = 0;           // connections inside fetch_range
  int failures_ = 0;
  bool failed_ = false;          // a helper's failure ended the file
  std::unique_ptr<FetchFailure> failure_;  // that failure
  bool no_split_ = false;        // the server refused REST, or splits stopped paying
  bool journaling_ = false;
  bool stopped_ = false;          // stop() wrote the last journal
  std::uint64_t unjournaled_ = 0;
  Clock::time_point journaled_at_;
  std::optional<Clock::time_point> first_byte_at_;
  // The rate of one connection alone, then that of all since they joined.
  bool spread_ = false;  // the file has been split among the connections
  Clock::time_point phase_start_;
  std::uint64_t phase_bytes_ = 0;
  double rate_before_ = 0;
  std::unique_ptr<Console::Meter> meter_;
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_LARGE_FILE_H_
