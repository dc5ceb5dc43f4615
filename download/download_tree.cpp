#include "download/download_tree.h"

#include <new>
#include <string>

#include "download/filters.h"
#include "download/local_path.h"
#include "messages/messages.h"
#include "platform/platform.h"

namespace vandrisk {
namespace {

// A name the walk must not use: one the local file system cannot hold as one
// name in this directory (a separator would put it elsewhere), one that CR,
// LF, TAB or NUL would cut or split in the command that names it, and the
// empty name, which would make the directory its own child.
bool is_unsafe_name(const std::string& name) {
  return name.empty() || name.find_first_of(std::string("\r\n\t\0", 4)) != std::string::npos ||
         platform::is_unsafe_local_name(name);
}

// A skipped name or listing line is shown on one console line: control bytes become '?'.
std::string printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

struct Task {
  FtpClient& client;
  std::ostream& out;
  const char* agent;
  const char* host;
  std::uint16_t port;
  const char* user;
  const char* pwd;
  const char* head;
  const char* tail;
};

int walk(const Task& task, const char* remote_dir, const char* local_dir) {
  FtpError error = ftp_errors::kNone;
  std::unique_ptr<FtpSession> session = task.client.open_session(task.agent, error);
  if (!session) {
    msg::emit(task.out, msg::session_open_failed());
    return -1;
  }
  std::unique_ptr<FtpConnection> connection =
      session->connect(task.host, task.port, task.user, task.pwd, error);
  if (!connection) {
    msg::emit(task.out, msg::connect_failed());
    return -1;
  }
  FtpEntry entry;
  std::unique_ptr<FtpListing> listing = connection->find_first(remote_dir, entry, error);
  if (!listing) {
    if (error == ftp_errors::kNoMoreFiles) return 0;
    msg::emit(task.out, msg::listing_start_failed(remote_dir, error));
    return -1;
  }

  // Reused for every entry of this directory: an entry that fits costs no allocation.
  std::string local_path;
  std::string remote_path;
  int count = 0;
  do {
    if (entry.kind == EntryKind::kUnrecognized) {
      msg::emit(task.out, msg::unrecognized_listing_line(printable(entry.name).c_str()));
      continue;
    }
    const std::string& name = entry.name;
    if (name == "." || name == "..") continue;
    if (is_unsafe_name(name)) {
      remote_path.assign(remote_dir).append(1, '/').append(name);
      msg::emit(task.out, msg::unsafe_name_skipped(printable(remote_path).c_str()));
      continue;
    }
    local_path.assign(local_dir).append(1, '\\').append(name);
    remote_path.assign(remote_dir).append(1, '/').append(name);
    // Classified for every entry, also one the filters will pass over.
    const FileType file_type = classify_local_path(local_path);

    if (entry.kind == EntryKind::kFile) {
      if (file_type == kFileTypeRegular) continue;  // fetched by an earlier run
      if (!starts_with(name.c_str(), task.head) || !ends_with(name.c_str(), task.tail)) continue;
      if (file_type != kFileTypeMissing) {
        msg::emit(task.out, msg::file_conflict(remote_path.c_str(), file_type));
        return -1;
      }
      if (!connection->get_file(remote_path, local_path, entry.size, error)) {
        msg::emit(task.out, msg::file_download_failed(remote_path.c_str()));
        return -1;
      }
      msg::emit(task.out, msg::file_downloaded(remote_path.c_str()));
      ++count;
    } else if (entry.kind == EntryKind::kDirectory) {
      if (file_type == kFileTypeRegular || file_type == kFileTypeOther) {
        msg::emit(task.out, msg::directory_conflict(local_path.c_str(), file_type));
        return -1;
      }
      if (file_type == kFileTypeMissing) {
        if (!platform::make_directory(local_path)) {
          msg::emit(task.out, msg::directory_create_failed(local_path.c_str()));
          return -1;
        }
        msg::emit(task.out, msg::directory_created(local_path.c_str()));
      }
      const int below = walk(task, remote_path.c_str(), local_path.c_str());
      if (below < 0) return -1;
      count += below;
    }
    // Anything else (a link of unknown kind, a device) is passed over.
  } while (listing->next(entry, error));

  if (error != ftp_errors::kNoMoreFiles) {
    msg::emit(task.out, msg::listing_broken(error));
    return -1;
  }
  return count;
}

}  // namespace

int download_tree(FtpClient& client, std::ostream& out, const char* agent, const char* host,
                  std::uint16_t port, const char* user, const char* pwd, const char* remote_dir,
                  const char* local_dir, const char* head, const char* tail) {
  const Task task{client, out, agent, host, port, user, pwd, head, tail};
  try {
    return walk(task, remote_dir, local_dir);
  } catch (const std::bad_alloc&) {
    return -1;  // out of memory for a path: the walk ends without a message
  }
}

}  // namespace vandrisk
