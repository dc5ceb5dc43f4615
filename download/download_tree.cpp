#include "download/download_tree.h"

#include <fstream>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "config/task_settings.h"
#include "download/file_fetch.h"
#include "download/lane.h"
#include "download/names.h"
#include "download/parallel_source.h"
#include "download/walk_plan.h"
#include "download/walk_source.h"
#include "messages/messages.h"
#include "platform/platform.h"

namespace vandrisk {
namespace {

using platform::LocalKind;

// A skipped name or listing line is shown on one console line: control bytes become '?'.
std::string printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// The task's login: only a full pair logs in as a user; a user without a
// password (or the reverse) logs in anonymously.
FtpAccount account_of(const TaskRecord& task, const TransferSettings& settings) {
  FtpAccount account;
  account.host = task.host;
  account.port = task.port;
  if (task.user[0] != '\0' && task.pwd[0] != '\0') {
    account.user = task.user;
    account.password = task.pwd;
  }
  account.passive = settings.passive;
  account.tls = settings.tls;
  account.tls_ca = settings.tls_ca;
  if (settings.charset == Charset::kAuto) account.utf8 = FtpAccount::Utf8::kWhereListed;
  if (settings.charset == Charset::kUtf8) account.utf8 = FtpAccount::Utf8::kAlways;
  return account;
}

// The directory an empty ftppath lists is the login directory. Its entries'
// paths must start from there: "/name" would name another file wherever the
// login does not land in "/". Where it does (or the server did not say), the
// paths stay "/name".
std::string top_directory(const TaskRecord& task, const std::string& login_directory) {
  if (task.ftppath[0] != '\0') return task.ftppath;
  if (login_directory.size() > 1 && login_directory.front() == '/') return login_directory;
  return std::string();
}

// Why the first connection failed, as one line.
std::string connect_failure_line(const FtpStatus& status) {
  if (status.code == ftp_errors::kSecureChannelError) return msg::tls_refused();
  if (status.code == ftp_errors::kInvalidCertificate) return msg::tls_certificate_failed();
  return msg::connect_failed();
}

// A directory of the walk: as sent to the server and as stored locally,
// and both as the console shows them (the same text without charset=).
struct Place {
  std::string remote, local;
  std::string remote_shown, local_shown;
};

class Walk {
 public:
  Walk(const NameRules& rules, WalkSource& source, Console& console, const FetchChecks& checks,
       std::vector<std::string> top_spellings)
      : rules_(rules),
        source_(source),
        console_(console),
        checks_(checks),
        top_spellings_(std::move(top_spellings)) {}

  // One directory and everything below it: the count of files fetched, or -1.
  int walk(const WalkKey& key, Place place) {
    std::shared_ptr<const FtpListing> listed;
    FtpStatus status;
    bool ok = source_.list(key, place.remote, place.remote_shown, place.local, path_, listed, status);
    // The top spelled otherwise, where the server does not know it as
    // written: UTF-8, the config's bytes, the charset's code page.
    for (std::size_t next = 1; !ok && key.empty() && next < top_spellings_.size() &&
                               status.code == ftp_errors::kExtendedError && status.reply == 550;
         ++next) {
      place.remote = top_spellings_[next];
      ok = source_.list(key, place.remote, place.remote_shown, place.local, path_, listed, status);
    }
    if (!ok && !key.empty() && refused_name(status)) {
      console_.say(msg::unsendable_name_skipped(place.remote_shown.c_str()));
      return 0;
    }
    if (!ok) {
      console_.say(msg::listing_start_failed(place.remote_shown.c_str(), status.code));
      return -1;
    }
    const FtpListing& listing = *listed;
    const ListingNames names(listing, rules_);
    if (key.empty() && !listing.unique.empty()) path_.push_back(listing.unique);
    // Reused for every entry of this directory: an entry that fits costs no allocation.
    Place entry_place;
    WalkKey entry_key = key;
    entry_key.push_back(0);
    int count = 0;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
      const FtpEntry& entry = listing.entries[i];
      entry_key.back() = static_cast<std::uint32_t>(i);
      Step step = plan_name_step(entry, names, i, rules_, path_);
      if (step != Step::kPassOver && step != Step::kReportUnreadable) {
        join(place, entry, names, i, entry_place);
      }
      if (step == Step::kLookLocally) {
        // A name the listing repeats (or, on Windows, spells in another
        // case) finds the file fetched under it named, as it would have
        // been without waiting.
        if (waiting_names_.count(platform::local_name_key(entry_place.local)) &&
            !name_waiting(count)) {
          return -1;
        }
        // Looked at for every entry, also one the filters will pass over.
        const LocalKind local = platform::local_kind(entry_place.local);
        step = plan_local_step(entry, names.match(i), local, rules_);
        if (step == Step::kFileConflict) {
          say(msg::file_conflict(entry_place.remote_shown.c_str(), static_cast<int>(local)), count);
          return -1;
        }
        if (step == Step::kDirectoryConflict) {
          say(msg::directory_conflict(entry_place.local_shown.c_str(), static_cast<int>(local)), count);
          return -1;
        }
      }
      bool said = true;
      switch (step) {
        case Step::kReportUnreadable:
          said = say(msg::unrecognized_listing_line(
                         rules_.raw() ? printable(entry.name).c_str() : names.shown(i).c_str()),
                     count);
          break;
        case Step::kReportUnsafe:
          said = say(msg::unsafe_name_skipped(printable(entry_place.remote_shown).c_str()), count);
          break;
        case Step::kReportDuplicate:
          said = say(msg::duplicate_name_skipped(entry_place.remote_shown.c_str()), count);
          break;
        case Step::kReportUnsendable:
          said = say(msg::unsendable_name_skipped(entry_place.remote_shown.c_str()), count);
          break;
        case Step::kReportLoop:
          said = say(msg::loop_skipped(entry_place.remote_shown.c_str()), count);
          break;
        case Step::kFetch: {
          FetchJob job(entry_place.remote, entry_place.local, entry, listing.listed_at);
          if (!rules_.raw()) job.shown_path = entry_place.remote_shown;
          if (!fetch(entry_key, job, count)) return -1;
          break;
        }
        case Step::kCreateAndWalk:
          if (!name_waiting(count)) return -1;
          if (!platform::make_directory(entry_place.local)) {
            console_.say(msg::directory_create_failed(entry_place.local_shown.c_str()));
            return -1;
          }
          console_.say(msg::directory_created(entry_place.local_shown.c_str()));
          [[fallthrough]];
        case Step::kWalk: {
          if (!name_waiting(count)) return -1;
          if (!entry.unique.empty()) path_.push_back(entry.unique);
          const int below = walk(entry_key, entry_place);
          if (!entry.unique.empty()) path_.pop_back();
          if (below < 0) return -1;
          count += below;
          break;
        }
        default:
          break;  // passed over
      }
      if (!said) return -1;
    }
    if (!name_waiting(count)) return -1;
    if (listing.cut_short != ftp_errors::kNone) {
      console_.say(msg::listing_broken(listing.cut_short));
      return -1;
    }
    return count;
  }

 private:
  // A name the server listed but will not take back: 553, "file name not
  // allowed" (pure-ftpd says it of every name holding the byte 0x5C, as GBK
  // names such as 乗 do). Under a charset such a name decodes to a safe one
  // and is asked for, so the refusal passes it over as a name that cannot be
  // sent; without one the task fails on it as it always did.
  bool refused_name(const FtpStatus& status) const {
    return !rules_.raw() && status.code == ftp_errors::kExtendedError && status.reply == 553;
  }

  // The entry's place below `place`.
  void join(const Place& place, const FtpEntry& entry, const ListingNames& names, std::size_t i,
            Place& out) const {
    out.remote.assign(place.remote).append(1, '/').append(entry.name);
    out.local.assign(place.local).append(1, '\\').append(names.local(i));
    out.remote_shown.assign(place.remote_shown).append(1, '/').append(names.shown(i));
    out.local_shown.assign(place.local_shown).append(1, '\\').append(names.shown(i));
  }

  // A line other than a fetched file's; what waits for its name is named
  // first. False when that failed: the walk ends, and this line is not said.
  bool say(const std::string& line, int& count) {
    if (!name_waiting(count)) return false;
    console_.say(line);
    return true;
  }

  // Fetches the file of `job`; `count` grows by the files named meanwhile.
  // False when the walk must end. A file still changing is passed over.
  bool fetch(const WalkKey& key, const FetchJob& job, int& count) {
    // One that may take a while does not keep those before it waiting, nor
    // does a slow link keep a batch waiting long.
    const bool long_file = !job.size || *job.size >= kLongFile;
    if ((long_file || old_batch()) && !name_waiting(count)) return false;
    FetchFailure failure;
    std::unique_ptr<FileFetch> file = source_.fetch(key, job, failure);
    const char* shown = job.shown().c_str();
    if (!file || file->large()) {
      if (!name_waiting(count)) return false;
    }
    if (!file && failure.kind == FetchFailure::Kind::kChanging) {
      console_.say(msg::changing_file_skipped(shown));
      return true;
    }
    if (!file && failure.kind == FetchFailure::Kind::kFailed && !failure.local.operation &&
        refused_name(failure.remote)) {
      console_.say(msg::unsendable_name_skipped(shown));
      return true;
    }
    if (!file && failure.kind == FetchFailure::Kind::kNoServerTime) {
      console_.say(msg::min_age_needs_time(checks_.min_age_s, shown));
      return false;
    }
    if (!file) {
      console_.say(msg::file_download_failed(shown));
      return false;
    }
    if (waiting_.empty()) waiting_since_ = FetchJob::Clock::now();
    waiting_bytes_ += file->received();
    waiting_.push_back({std::move(file), job.shown()});
    waiting_names_.insert(platform::local_name_key(job.local_path));
    if (waiting_.back().file->large() || waiting_.size() >= kBatchFiles ||
        waiting_bytes_ >= kBatchBytes || old_batch()) {
      return name_waiting(count);
    }
    return true;
  }

  bool old_batch() const {
    return !waiting_.empty() && FetchJob::Clock::now() - waiting_since_ >= std::chrono::seconds(1);
  }

  // Names the fetched files that wait, in walk order, and says their lines;
  // `count` grows by each. One sync of the file system makes a batch of them
  // durable first, at about the cost of one file's own sync (where the OS
  // has none, each file syncs itself). False after the first that cannot be
  // named: its line is said, the others are dropped unnamed.
  bool name_waiting(int& count) {
    if (waiting_.empty()) return true;
    const bool durable = waiting_.size() > 1 &&
                         platform::sync_file_system(waiting_.front().file->job().local_path);
    bool ok = true;
    for (Waiting& waiting : waiting_) {
      FetchFailure failure;
      if (!waiting.file->publish(failure, durable)) {
        console_.say(msg::file_download_failed(waiting.shown.c_str()));
        ok = false;
        break;
      }
      console_.say(msg::file_downloaded(waiting.shown.c_str()));
      ++count;
    }
    waiting_.clear();
    waiting_names_.clear();
    waiting_bytes_ = 0;
    return ok;
  }

  const NameRules& rules_;
  WalkSource& source_;
  Console& console_;
  const FetchChecks& checks_;
  const std::vector<std::string> top_spellings_;
  WalkPath path_;  // identities from the top down to the directory being walked

  // Small files fetched and checked, waiting for their names: named before
  // any other line, before the walk goes down a directory or leaves one,
  // before a file that may take a while, and once they are kBatchFiles
  // files, kBatchBytes or a second old.
  static constexpr std::size_t kBatchFiles = 64;
  static constexpr std::uint64_t kBatchBytes = 16 << 20;
  static constexpr std::uint64_t kLongFile = 1 << 20;
  struct Waiting {
    std::unique_ptr<FileFetch> file;
    std::string shown;
  };
  std::vector<Waiting> waiting_;
  std::set<std::string> waiting_names_;  // their local_name_key()s
  std::uint64_t waiting_bytes_ = 0;
  FetchJob::Clock::time_point waiting_since_;
};

// The settings a task can run with, or the line that says why not.
bool usable_settings(const TaskRecord& task, const FtpClient& client, Console& console,
                     TransferSettings& settings) {
  BadSetting bad;
  if (!read_settings(task.settings, settings, bad)) {
    console.say(msg::bad_setting(bad.key.c_str(), bad.value.c_str()));
    return false;
  }
  if (settings.tls && !client.supports_tls()) {
    console.say(msg::tls_unsupported());
    return false;
  }
  if (settings.tls && !settings.tls_ca.empty() &&
      !std::ifstream(platform::to_os_path(settings.tls_ca), std::ios::binary)) {
    console.say(msg::tls_ca_unreadable(settings.tls_ca.c_str()));
    return false;
  }
  return true;
}

}  // namespace

int download_tree(const TaskRecord& task, FtpClient& client, Console& console,
                  const WalkTuning& tuning) {
  try {
    TransferSettings settings;
    if (!usable_settings(task, client, console, settings)) return -1;
    if (settings.tls) settings.tls_ca = platform::to_os_path(settings.tls_ca);
    const FtpAccount account = account_of(task, settings);
    RetryPolicy policy;
    policy.retries = settings.retries;
    policy.first_delay_ms = tuning.first_retry_delay_ms;
    // Without charset= local names are the bytes of the names, as always.
    platform::set_utf8_local_names(settings.charset != Charset::kRaw);
    FetchChecks checks;
    checks.names = NameRules(settings.charset, task);
    checks.settle_ms = tuning.settle_ms;
    checks.min_age_s = settings.min_age;
    checks.large = tuning.large;
    checks.large.connections = settings.parallel;

    // Parallel transfers can be stopped from another thread: their
    // connections, the first one included, watch this.
    StopSignal stop;
    Lane first(client, account, policy, checks, console, settings.parallel > 1 ? &stop : nullptr);
    FtpStatus status;
    if (!first.connect(status, true)) {
      console.say(connect_failure_line(status));
      return -1;
    }
    const NameRules& rules = checks.names;
    std::vector<std::string> spellings = {top_directory(task, first.login_directory())};
    if (!rules.raw() && task.ftppath[0] != '\0') spellings = rules.remote_spellings(task.ftppath);
    Place top;
    top.remote = spellings.front();
    top.local = rules.local_text(task.localpath);
    top.remote_shown = rules.raw() ? top.remote
                       : task.ftppath[0] != '\0' ? rules.shown_text(task.ftppath)
                                                  : rules.shown_name(top.remote);
    top.local_shown = rules.shown_text(task.localpath);
    if (settings.parallel == 1) {
      SerialSource source(first);
      return Walk(rules, source, console, checks, spellings).walk(WalkKey(), top);
    }
    ParallelSource source(client, account, policy, checks, settings.parallel, console, stop,
                          first.release());
    return Walk(rules, source, console, checks, spellings).walk(WalkKey(), top);
  } catch (const std::bad_alloc&) {
    return -1;  // out of memory for a path: the walk ends without a message
  }
}

}  // namespace vandrisk
