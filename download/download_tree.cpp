#include "download/download_tree.h"

#include <fstream>
#include <new>
#include <string>

#include "config/task_settings.h"
#include "download/file_fetch.h"
#include "download/lane.h"
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

class Walk {
 public:
  Walk(const TaskRecord& task, WalkSource& source, Console& console, const FetchChecks& checks)
      : task_(task), source_(source), console_(console), checks_(checks) {}

  // One directory and everything below it: the count of files fetched, or -1.
  int walk(const WalkKey& key, const std::string& remote_dir, const std::string& local_dir) {
    std::shared_ptr<const FtpListing> listed;
    FtpStatus status;
    if (!source_.list(key, remote_dir, local_dir, path_, listed, status)) {
      console_.say(msg::listing_start_failed(remote_dir.c_str(), status.code));
      return -1;
    }
    const FtpListing& listing = *listed;
    if (key.empty() && !listing.unique.empty()) path_.push_back(listing.unique);
    // Reused for every entry of this directory: an entry that fits costs no allocation.
    std::string local_path;
    std::string remote_path;
    WalkKey entry_key = key;
    entry_key.push_back(0);
    int count = 0;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
      const FtpEntry& entry = listing.entries[i];
      entry_key.back() = static_cast<std::uint32_t>(i);
      Step step = plan_name_step(entry, path_);
      if (step == Step::kLookLocally) {
        local_path.assign(local_dir).append(1, '\\').append(entry.name);
        remote_path.assign(remote_dir).append(1, '/').append(entry.name);
        // Looked at for every entry, also one the filters will pass over.
        const LocalKind local = platform::local_kind(local_path);
        step = plan_local_step(entry, local, task_);
        if (step == Step::kFileConflict) {
          console_.say(msg::file_conflict(remote_path.c_str(), static_cast<int>(local)));
          return -1;
        }
        if (step == Step::kDirectoryConflict) {
          console_.say(msg::directory_conflict(local_path.c_str(), static_cast<int>(local)));
          return -1;
        }
      }
      switch (step) {
        case Step::kReportUnreadable:
          console_.say(msg::unrecognized_listing_line(printable(entry.name).c_str()));
          break;
        case Step::kReportUnsafe:
          remote_path.assign(remote_dir).append(1, '/').append(entry.name);
          console_.say(msg::unsafe_name_skipped(printable(remote_path).c_str()));
          break;
        case Step::kReportLoop:
          remote_path.assign(remote_dir).append(1, '/').append(entry.name);
          console_.say(msg::loop_skipped(remote_path.c_str()));
          break;
        case Step::kFetch: {
          bool fetched = false;
          if (!fetch(entry_key, {remote_path, local_path, entry, listing.listed_at}, fetched)) {
            return -1;
          }
          if (fetched) ++count;
          break;
        }
        case Step::kCreateAndWalk:
          if (!platform::make_directory(local_path)) {
            console_.say(msg::directory_create_failed(local_path.c_str()));
            return -1;
          }
          console_.say(msg::directory_created(local_path.c_str()));
          [[fallthrough]];
        case Step::kWalk: {
          if (!entry.unique.empty()) path_.push_back(entry.unique);
          const int below = walk(entry_key, remote_path, local_path);
          if (!entry.unique.empty()) path_.pop_back();
          if (below < 0) return -1;
          count += below;
          break;
        }
        default:
          break;  // passed over
      }
    }
    if (listing.cut_short != ftp_errors::kNone) {
      console_.say(msg::listing_broken(listing.cut_short));
      return -1;
    }
    return count;
  }

 private:
  // False when the walk must end; `fetched` tells whether the file now
  // stands under its name (a file still changing is passed over).
  bool fetch(const WalkKey& key, const FetchJob& job, bool& fetched) {
    FetchFailure failure;
    std::unique_ptr<FileFetch> file = source_.fetch(key, job, failure);
    if (!file && failure.kind == FetchFailure::Kind::kChanging) {
      console_.say(msg::changing_file_skipped(job.remote_path.c_str()));
      return true;
    }
    if (!file && failure.kind == FetchFailure::Kind::kNoServerTime) {
      console_.say(msg::min_age_needs_time(checks_.min_age_s, job.remote_path.c_str()));
      return false;
    }
    if (!file || !file->publish(failure)) {
      console_.say(msg::file_download_failed(job.remote_path.c_str()));
      return false;
    }
    console_.say(msg::file_downloaded(job.remote_path.c_str()));
    fetched = true;
    return true;
  }

  const TaskRecord& task_;
  WalkSource& source_;
  Console& console_;
  const FetchChecks& checks_;
  WalkPath path_;  // identities from the top down to the directory being walked
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
    FetchChecks checks;
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
    const std::string top = top_directory(task, first.login_directory());
    if (settings.parallel == 1) {
      SerialSource source(first);
      return Walk(task, source, console, checks).walk(WalkKey(), top, task.localpath);
    }
    ParallelSource source(client, account, policy, checks, task, settings.parallel, console, stop,
                          first.release());
    return Walk(task, source, console, checks).walk(WalkKey(), top, task.localpath);
  } catch (const std::bad_alloc&) {
    return -1;  // out of memory for a path: the walk ends without a message
  }
}

}  // namespace vandrisk
