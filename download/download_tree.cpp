#include "download/download_tree.h"

#include <new>
#include <string>

#include "download/file_fetch.h"
#include "download/filters.h"
#include "messages/messages.h"
#include "platform/platform.h"

namespace vandrisk {
namespace {

using platform::LocalKind;

// A name the walk must not use: one the local file system cannot hold as one
// name in this directory (a separator would put it elsewhere), one that CR,
// LF, TAB or NUL would cut or split in the command that names it, and the
// empty name, which would make the directory its own child.
bool is_unsafe_name(const std::string& name) {
  return name.empty() || name.find_first_of(std::string("\r\n\t\0", 4)) != std::string::npos ||
         platform::is_unsafe_local_name(name);
}

// A remote name or line is shown on one console line: control bytes become '?'.
std::string printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// The task's login: only a full pair logs in as a user; a user without a
// password (or the reverse) logs in anonymously.
FtpAccount account_of(const TaskRecord& task) {
  FtpAccount account;
  account.host = task.host;
  account.port = task.port;
  if (task.user[0] != '\0' && task.pwd[0] != '\0') {
    account.user = task.user;
    account.password = task.pwd;
  }
  return account;
}

class Walk {
 public:
  Walk(const TaskRecord& task, FtpConnection& connection, std::ostream& out)
      : task_(task), connection_(connection), out_(out) {}

  // One directory and everything below it: the count of files fetched, or -1.
  int walk(const std::string& remote_dir, const std::string& local_dir) {
    FtpListing listing;
    FtpStatus status;
    if (!connection_.list(remote_dir, listing, status)) {
      msg::emit(out_, msg::listing_start_failed(remote_dir.c_str(), status.code));
      return -1;
    }
    // Reused for every entry of this directory: an entry that fits costs no allocation.
    std::string local_path;
    std::string remote_path;
    int count = 0;
    for (const FtpEntry& entry : listing.entries) {
      const std::string& name = entry.name;
      if (name == "." || name == "..") continue;
      if (is_unsafe_name(name)) {
        remote_path.assign(remote_dir).append(1, '/').append(name);
        msg::emit(out_, msg::unsafe_name_skipped(printable(remote_path).c_str()));
        continue;
      }
      local_path.assign(local_dir).append(1, '\\').append(name);
      remote_path.assign(remote_dir).append(1, '/').append(name);
      // Looked at for every entry, also one the filters will pass over.
      const LocalKind local = platform::local_kind(local_path);

      if (entry.kind == EntryKind::kFile) {
        if (local == LocalKind::kRegular) continue;  // fetched by an earlier run
        if (!starts_with(name.c_str(), task_.head) || !ends_with(name.c_str(), task_.tail)) continue;
        if (local != LocalKind::kMissing) {
          msg::emit(out_, msg::file_conflict(remote_path.c_str(), static_cast<int>(local)));
          return -1;
        }
        if (!fetch({remote_path, local_path, entry.size})) {
          msg::emit(out_, msg::file_download_failed(remote_path.c_str()));
          return -1;
        }
        msg::emit(out_, msg::file_downloaded(remote_path.c_str()));
        ++count;
      } else if (entry.kind == EntryKind::kDirectory) {
        if (local == LocalKind::kRegular || local == LocalKind::kOther) {
          msg::emit(out_, msg::directory_conflict(local_path.c_str(), static_cast<int>(local)));
          return -1;
        }
        if (local == LocalKind::kMissing) {
          if (!platform::make_directory(local_path)) {
            msg::emit(out_, msg::directory_create_failed(local_path.c_str()));
            return -1;
          }
          msg::emit(out_, msg::directory_created(local_path.c_str()));
        }
        const int below = walk(remote_path, local_path);
        if (below < 0) return -1;
        count += below;
      }
      // Anything else (a link of unknown kind, a device) is passed over.
    }
    if (listing.cut_short != ftp_errors::kNone) {
      msg::emit(out_, msg::listing_broken(listing.cut_short));
      return -1;
    }
    return count;
  }

 private:
  bool fetch(FetchJob job) {
    FileFetch file(std::move(job));
    FetchFailure failure;
    return file.attempt(connection_, failure) && file.publish(failure);
  }

  const TaskRecord& task_;
  FtpConnection& connection_;
  std::ostream& out_;
};

}  // namespace

int download_tree(const TaskRecord& task, FtpClient& client, std::ostream& out) {
  try {
    FtpStatus status;
    std::unique_ptr<FtpConnection> connection = client.connect(account_of(task), status);
    if (!connection) {
      msg::emit(out, msg::connect_failed());
      return -1;
    }
    Walk walk(task, *connection, out);
    return walk.walk(task.ftppath, task.localpath);
  } catch (const std::bad_alloc&) {
    return -1;  // out of memory for a path: the walk ends without a message
  }
}

}  // namespace vandrisk
