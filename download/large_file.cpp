#include "download/large_file.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <utility>

#include "download/file_fetch.h"

namespace vandrisk {
namespace {

constexpr char kJournalMagic[] = "vandrisk partial 1";

double seconds_between(LargeFile::Clock::time_point from, LargeFile::Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The ranges a journal says are on disk, when it is the journal of this file.
bool read_journal(const std::string& text, const std::string& remote_path, std::uint64_t size,
                  const std::string& modify,
                  std::vector<std::pair<std::uint64_t, std::uint64_t>>& haves) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kJournalMagic) return false;
  if (!std::getline(in, line) || line != "path " + remote_path) return false;
  if (!std::getline(in, line) || line != "size " + std::to_string(size)) return false;
  if (!std::getline(in, line) || line != "modify " + modify) return false;
  std::uint64_t last = 0;
  while (std::getline(in, line)) {
    std::istringstream have(line);
    std::string word;
    std::uint64_t begin = 0, end = 0;
    if (!(have >> word >> begin >> end) || word != "have" || begin < last || end <= begin ||
        end > size) {
      return false;
    }
    haves.emplace_back(begin, end);
    last = end;
  }
  return true;
}

}  // namespace

// Writes what a range's transfer brings at its place in the partial: first
// compares the bytes before a point a killed run stopped at with the disk,
// then writes up to the range's end (which a split may lower meanwhile) and
// cuts the transfer there.
class LargeFile::Sink : public FetchSink {
 public:
  Sink(LargeFile& file, Ranges::iterator range, int generation, std::uint64_t at,
       std::uint64_t verify)
      : file_(file), range_(range), generation_(generation), at_(at), verify_(verify) {}

  bool write(const char* data, std::size_t size) override {
    while (verify_ > 0 && size > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(verify_, size));
      std::string disk(n, '\0');
      if (!file_.partial_->read_at(at_, disk.data(), n, local_) ||
          std::memcmp(disk.data(), data, n) != 0) {
        mismatch_ = true;
        return false;
      }
      at_ += n;
      verify_ -= n;
      data += n;
      size -= n;
    }
    if (size == 0) return true;
    std::uint64_t end = 0;
    {
      std::lock_guard<std::mutex> lock(file_.mutex_);
      if (generation_ != file_.generation_ || file_.failed_) {
        stopped_ = true;
        return false;
      }
      end = range_->end;
      range_->claimed = std::min(end, at_ + size);
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(end - at_, size));
    if (n > 0 && !file_.partial_->write_at(at_, data, n, local_)) return false;
    file_.wrote(range_, generation_, n);
    at_ += n;
    if (n == size) return true;
    if (end == file_.size_) local_ = {"size", 0};  // more than the listing told
    at_end_ = true;
    return false;
  }

  bool mismatch() const { return mismatch_; }
  bool stopped() const { return stopped_; }
  const platform::LocalError& local() const { return local_; }

 private:
  LargeFile& file_;
  const Ranges::iterator range_;  // valid while the generation is
  const int generation_;
  std::uint64_t at_;
  std::uint64_t verify_;
  bool mismatch_ = false;
  bool stopped_ = false;
  bool at_end_ = false;
  platform::LocalError local_;
};

LargeFile::LargeFile(std::string remote_path, std::string local_path, std::uint64_t size,
                     const LargeFileTuning& tuning)
    : remote_path_(std::move(remote_path)),
      local_path_(std::move(local_path)),
      size_(size),
      tuning_(tuning) {}

LargeFile::~LargeFile() {
  // What came since the last journal stays usable for the next run.
  if (partial_ && !stopped_) update_journal(true);
}

bool LargeFile::open(const std::string& modify, FetchFailure& failure) {
  modify_ = modify;
  std::string journal;
  partial_ = platform::open_partial(local_path_, journal, failure.local);
  if (!partial_) {
    failure.remote = {ftp_errors::kInternalError, 0};
    return false;
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> haves;
  if (modify.empty() || !read_journal(journal, remote_path_, size_, modify, haves)) {
    // Another file, or one the server cannot tell apart from another by its
    // time: nothing on disk can be trusted. The journal says so before the
    // data goes, so that no crash leaves an old journal over new data.
    haves.clear();
    if (!partial_->write_journal(empty_journal(), failure.local) ||
        !partial_->clear(failure.local)) {
      failure.remote = {ftp_errors::kInternalError, 0};
      return false;
    }
  }
  std::uint64_t at = 0;
  haves.emplace_back(size_, size_);
  for (const auto& have : haves) {
    if (have.first > at) {
      ranges_.push_back({at, at, at, have.first, at > 0 ? std::min(tuning_.overlap, at) : 0});
    }
    if (have.second > have.first) {
      ranges_.push_back({have.first, have.second, have.second, have.second, 0});
    }
    at = have.second;
  }
  journaled_at_ = Clock::now();
  return true;
}

bool LargeFile::all_done() const {
  return std::all_of(ranges_.begin(), ranges_.end(),
                     [](const Range& range) { return !range.busy && range.done == range.end; });
}

bool partial_still_wanted(const std::string& journal, const std::string& remote_path,
                          const FtpEntry& entry, const LargeFileTuning& tuning) {
  if (entry.kind != EntryKind::kFile || !entry.size || *entry.size < tuning.threshold) return false;
  std::istringstream in(journal);
  std::string magic, path, size, modify;
  if (!std::getline(in, magic) || !std::getline(in, path) || !std::getline(in, size) ||
      !std::getline(in, modify)) {
    return false;
  }
  return magic == kJournalMagic && path == "path " + remote_path &&
         size == "size " + std::to_string(*entry.size) &&
         (entry.time.modify.empty() || modify == "modify " + entry.time.modify);
}

void drop_stale_partials(const FtpListing& listing, const std::string& remote_dir,
                         const std::string& local_dir, const FetchChecks& checks,
                         const std::set<std::string>& in_use) {
  if (listing.cut_short != ftp_errors::kNone) return;
  const std::vector<std::string> partials = platform::partials_in(local_dir);
  if (partials.empty()) return;
  const ListingNames names(listing, checks.names);
  for (const std::string& name : partials) {
    const std::string local_path = local_dir + "\\" + name;
    if (in_use.count(local_path)) continue;
    std::size_t i = 0;
    while (i < listing.entries.size() && (names.local(i) != name || names.taken(i))) ++i;
    if (i == listing.entries.size() ||
        platform::local_kind(local_path) != platform::LocalKind::kMissing ||
        !partial_still_wanted(platform::read_partial_journal(local_path),
                              remote_dir + "/" + listing.entries[i].name, listing.entries[i],
                              checks.large)) {
      platform::remove_partial(local_path);
    }
  }
}

std::string LargeFile::journal_text() const {
  std::string text = empty_journal();
  std::uint64_t begin = 0, end = 0;
  for (const Range& range : ranges_) {
    if (range.done == range.begin) continue;
    if (range.begin != end) {
      if (end > begin) text += "have " + std::to_string(begin) + " " + std::to_string(end) + "\n";
      begin = range.begin;
    }
    end = range.done;
    if (range.done != range.end) {
      text += "have " + std::to_string(begin) + " " + std::to_string(end) + "\n";
      begin = end = range.end;
    }
  }
  if (end > begin) text += "have " + std::to_string(begin) + " " + std::to_string(end) + "\n";
  return text;
}

void LargeFile::update_journal(bool force) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (journaling_ || unjournaled_ == 0 || modify_.empty()) return;
  const Clock::time_point now = Clock::now();
  if (!force && unjournaled_ < tuning_.journal_bytes &&
      now - journaled_at_ < std::chrono::milliseconds(tuning_.journal_ms)) {
    return;
  }
  // The journal names only bytes written before the sync that precedes it.
  const std::string text = journal_text();
  journaling_ = true;
  unjournaled_ = 0;
  journaled_at_ = now;
  lock.unlock();
  platform::LocalError ignored;
  if (partial_->sync(ignored)) partial_->write_journal(text, ignored);
  lock.lock();
  journaling_ = false;
}

void LargeFile::wrote(Ranges::iterator range, int generation, std::uint64_t bytes) {
  Console::Meter* meter = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    range->done = range->claimed = range->done + bytes;
    unjournaled_ += bytes;
    phase_bytes_ += bytes;
    if (!first_byte_at_) first_byte_at_ = phase_start_ = Clock::now();
    meter = meter_.get();
  }
  if (meter) meter->add(bytes);
  update_journal(false);
}

std::string LargeFile::empty_journal() const {
  return modify_.empty() ? std::string()
                         : std::string(kJournalMagic) + "\npath " + remote_path_ + "\nsize " +
                               std::to_string(size_) + "\nmodify " + modify_ + "\n";
}

void LargeFile::start_over() {
  ++generation_;
  platform::LocalError ignored;
  partial_->write_journal(empty_journal(), ignored);
  partial_->clear(ignored);
  ranges_.assign(1, Range{0, 0, 0, size_, 0});
  unjournaled_ = 0;
}

bool LargeFile::split_pays(std::uint64_t left, std::size_t busy, Clock::time_point now) {
  if (no_split_ || !first_byte_at_ || tuning_.connections < 2) return false;
  const double running = seconds_between(*first_byte_at_, now);
  if (running * 1000 < tuning_.probe_ms) return false;
  const double phase = seconds_between(phase_start_, now);
  if (spread_) {
    // Connections joined: whether they brought the gain that more
    // connections bring where each is capped on its own (a server's limit
    // per session, loss on a long path). Where the path itself sets the
    // pace, they did not, and no range is split again.
    if (phase < 2.0) return false;
    if (tuning_.min_gain > 0 && phase_bytes_ / phase < rate_before_ * tuning_.min_gain) {
      no_split_ = true;
      return false;
    }
  }
  // What the range at hand has left at the rate of one connection.
  const double rate = (phase > 0.2 ? phase_bytes_ / phase : 0) / static_cast<double>(busy);
  return rate <= 0 || left / rate > tuning_.min_seconds_left;
}

LargeFile::Took LargeFile::take(bool helper, Ranges::iterator& taken, Clock::time_point now) {
  if (failed_) return Took::kNothing;
  for (auto it = ranges_.begin(); it != ranges_.end(); ++it) {
    if (!it->busy && it->done < it->end) {
      it->busy = true;
      taken = it;
      return Took::kRange;
    }
  }
  if (all_done()) return Took::kNothing;
  const Took otherwise = helper ? Took::kNothing : Took::kWait;
  auto largest = ranges_.end();
  std::size_t busy = 0;
  for (auto it = ranges_.begin(); it != ranges_.end(); ++it) {
    if (!it->busy) continue;
    ++busy;
    if (largest == ranges_.end() || it->end - it->claimed > largest->end - largest->claimed) {
      largest = it;
    }
  }
  if (largest == ranges_.end()) return otherwise;
  const std::uint64_t left = largest->end - largest->claimed;
  if (left < 2 * tuning_.min_piece() || !split_pays(left, busy, now)) return otherwise;
  // The first time, what is left goes into as many equal pieces as the task
  // has connections, so that those that come all find one and end together
  // (halving again and again would leave some ranges twice as long as
  // others). Later a connection that ran out of work takes half of the
  // largest range.
  std::uint64_t pieces = 2;
  if (!spread_) {
    pieces = std::min<std::uint64_t>(static_cast<std::uint64_t>(tuning_.connections),
                                     left / tuning_.min_piece());
    spread_ = true;
    rate_before_ = phase_bytes_ / std::max(seconds_between(phase_start_, now), 1e-3);
    phase_start_ = now;
    phase_bytes_ = 0;
  }
  const std::uint64_t piece = left / pieces;
  const std::uint64_t end = largest->end;
  largest->end = largest->claimed + piece;
  auto at = std::next(largest);
  for (std::uint64_t k = 1; k < pieces; ++k) {
    const std::uint64_t begin = largest->claimed + k * piece;
    at = std::next(ranges_.insert(at, Range{begin, begin, begin, k + 1 == pieces ? end : begin + piece, 0}));
  }
  taken = std::next(largest);
  taken->busy = true;
  return Took::kRange;
}

LargeFile::RangeEnd LargeFile::fetch_range(FtpConnection& connection, Ranges::iterator it,
                                           FetchFailure& failure, bool& lost) {
  std::uint64_t at = 0, verify = 0;
  int generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Range& range = *it;
    verify = range.done == range.begin ? range.verify : 0;
    at = range.done - verify;
    generation = generation_;
    ++in_flight_;
  }
  Sink sink(*this, it, generation, at, verify);
  FtpStatus status;
  const bool ok = connection.fetch(remote_path_, at, size_, sink, status);
  std::lock_guard<std::mutex> lock(mutex_);
  // in_flight_ stays up until the caller has told what the end means: until
  // then nobody may take the file for complete.
  changed_.notify_all();
  if (generation != generation_) return RangeEnd::kAgain;
  Range& range = *it;
  range.busy = false;
  if (sink.stopped()) return RangeEnd::kAgain;
  if (sink.mismatch()) {
    // The server no longer sends what the killed run wrote: start over.
    start_over();
    return RangeEnd::kAgain;
  }
  if (sink.local().operation) {
    failure.local = sink.local();
    failure.count_differs = std::strcmp(sink.local().operation, "size") == 0;
    failure.remote = {ftp_errors::kInternalError, 0};
    return RangeEnd::kFailed;
  }
  if (range.done == range.end) {
    // A range below the end was cut there on purpose; the last one ends as
    // any transfer does, with all its bytes and a final reply that may not
    // come.
    if (range.end < size_ || ok) return RangeEnd::kDone;
    if (status.reply == 0 && (status.code == ftp_errors::kTimeout ||
                              status.code == ftp_errors::kConnectionAborted)) {
      lost = true;
      return RangeEnd::kDone;
    }
    failure.remote = status;
    return RangeEnd::kFailed;
  }
  if (ok) {
    // The server ended the transfer before the listed size.
    failure.count_differs = true;
    failure.remote = {ftp_errors::kConnectionAborted, 0};
    return RangeEnd::kFailed;
  }
  if (at > 0 && range.done == range.begin && status.code == ftp_errors::kExtendedError &&
      status.reply >= 500) {
    // Most likely a refused REST: no more splits. A split half goes back to
    // the range it came from while that one still runs; with nothing to
    // join, the whole file starts over from its first byte.
    no_split_ = true;
    const auto before = it == ranges_.begin() ? ranges_.end() : std::prev(it);
    if (before != ranges_.end() && before->busy && before->end == range.begin) {
      before->end = range.end;
      ranges_.erase(it);
    } else {
      start_over();
    }
    return RangeEnd::kAgain;
  }
  failure.remote = status;
  return RangeEnd::kFailed;
}

bool LargeFile::fetch(FtpConnection& connection, Console* console, FetchFailure& failure,
                      bool& lost) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (console && !meter_) {
    std::uint64_t done = 0;
    for (const Range& range : ranges_) done += range.done - range.begin;
    meter_ = std::make_unique<Console::Meter>(*console, remote_path_, size_, done);
  }
  for (;;) {
    if (failed_) {
      failure = *failure_;
      return false;
    }
    Ranges::iterator range;
    const Took took = take(false, range, Clock::now());
    if (took == Took::kNothing && in_flight_ == 0) {
      // Every byte is on disk and no connection writes any more.
      meter_.reset();
      return true;
    }
    if (took != Took::kRange) {
      changed_.wait_for(lock, std::chrono::milliseconds(200));
      continue;
    }
    lock.unlock();
    FetchFailure range_failure;
    const RangeEnd end = fetch_range(connection, range, range_failure, lost);
    lock.lock();
    --in_flight_;
    changed_.notify_all();
    if (end == RangeEnd::kFailed) {
      failure = range_failure;
      return false;
    }
  }
}

bool LargeFile::count_failure(int retries) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failures_ >= retries) return false;
  ++failures_;
  return true;
}

int LargeFile::failures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failures_;
}

bool LargeFile::wants_help(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_ || all_done()) return false;
  std::uint64_t largest_left = 0;
  std::size_t busy = 0;
  for (const Range& range : ranges_) {
    if (!range.busy && range.done < range.end) return true;
    if (!range.busy) continue;
    ++busy;
    largest_left = std::max(largest_left, range.end - range.claimed);
  }
  return largest_left >= 2 * tuning_.min_piece() && split_pays(largest_left, busy, now);
}

bool LargeFile::may_want_help() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !failed_ && !no_split_ && !spread_ && tuning_.connections >= 2 &&
         size_ >= 2 * tuning_.min_piece() && !all_done();
}

bool LargeFile::help(FtpConnection& connection, int retries, bool& lost, FetchFailure& failure) {
  Ranges::iterator range;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (take(true, range, Clock::now()) != Took::kRange) return false;
  }
  const RangeEnd end = fetch_range(connection, range, failure, lost);
  std::lock_guard<std::mutex> lock(mutex_);
  --in_flight_;
  changed_.notify_all();
  if (end != RangeEnd::kFailed) return end == RangeEnd::kDone;
  // The first connection takes the range back; the failure counts against
  // the file's retries as it would with one connection.
  const bool transient = !failure.local.operation && !failure.count_differs &&
                         is_transient(failure.remote.code, failure.remote.reply);
  if (transient && failures_ < retries) {
    ++failures_;
  } else if (!failed_) {
    failed_ = true;
    failure_ = std::make_unique<FetchFailure>(failure);
  }
  return false;
}

bool LargeFile::publish(FetchFailure& failure) {
  if (!partial_ || !partial_->publish(failure.local)) {
    failure.remote = {ftp_errors::kInternalError, 0};
    return false;
  }
  partial_.reset();
  return true;
}

void LargeFile::stop() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!failed_) {
    failed_ = true;
    failure_ = std::make_unique<FetchFailure>();
    failure_->remote = {ftp_errors::kOperationCancelled, 0};
  }
  changed_.wait(lock, [this] { return in_flight_ == 0; });
  lock.unlock();
  // Written here, on the thread that gives up, not by whichever helper
  // drops the last reference: a later fetch of the same file may have
  // opened the partial by then.
  if (partial_) update_journal(true);
  lock.lock();
  stopped_ = true;
}

void LargeFile::discard() {
  partial_.reset();
  platform::remove_partial(local_path_);
}

}  // namespace vandrisk
