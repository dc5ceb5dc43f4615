// The FTP client seam: the few operations the download walk needs, shaped like
// the platform FTP library the tool was designed over (session, login, listing
// entry by entry, fetch), so that each OS gets a thin backend and the walk can
// be tested against an in-memory fake.
//
// Errors: every failure carries one FtpError from a single code space shared by
// all backends (the numbers the Windows FTP library reports, see ftp_errors.h).
// No backend lets a library's own code leak into it.
#ifndef VANDRISK_DOWNLOAD_FTP_CLIENT_H_
#define VANDRISK_DOWNLOAD_FTP_CLIENT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "download/ftp_errors.h"

namespace vandrisk {

enum class EntryKind {
  kFile,       // a plain file (or a link the server resolved to one)
  kDirectory,  // a directory (or a link the server resolved to one)
  kOther,      // neither, or not known (e.g. a LIST symlink): the walk skips it
  kUnrecognized,  // a LIST line shaped like an entry that could not be read: `name` is the
                  // whole line, which the walk reports and passes over
};

// One entry of a remote directory listing. `name` is a bare name as the server
// sent it (raw bytes, no decoding); it may hold any byte, the walk vets it.
struct FtpEntry {
  std::string name;
  EntryKind kind = EntryKind::kOther;
  std::optional<std::uint64_t> size;  // when the listing told it
};

// An open directory listing. The backend reads the whole listing before it
// hands out the first entry, so fetches on the same connection while the
// listing is iterated are safe.
class FtpListing {
 public:
  virtual ~FtpListing() = default;
  // Fills `entry` with the next entry and returns true; at the end returns
  // false with error kNoMoreFiles; on any other failure false with its code.
  virtual bool next(FtpEntry& entry, FtpError& error) = 0;
};

// A logged-in FTP connection.
class FtpConnection {
 public:
  virtual ~FtpConnection() = default;
  // Lists `remote_dir` ('/'-separated; empty means the login directory, a path
  // without a leading '/' is relative to it). On success fills `first` and
  // returns the open listing. Returns nullptr with kNoMoreFiles when the
  // directory is empty, and with another code when it cannot be listed (a
  // directory that does not exist is such a failure, never "empty").
  virtual std::unique_ptr<FtpListing> find_first(const std::string& remote_dir, FtpEntry& first,
                                                 FtpError& error) = 0;
  // Copies `remote_path` byte for byte (binary type) into a new local file at
  // `local_path` ('\'-separated; the platform layer maps it for the OS).
  // `expected_size` is the size the listing gave, when it gave one: a transfer
  // that delivers a different number of bytes fails.
  // Fails when `local_path` already exists or cannot be created. The file
  // appears under its name only complete: after a failure nothing is left
  // under `local_path`, and no stray file anywhere.
  virtual bool get_file(const std::string& remote_path, const std::string& local_path,
                        std::optional<std::uint64_t> expected_size, FtpError& error) = 0;
};

// A client session; it logs in to servers.
class FtpSession {
 public:
  virtual ~FtpSession() = default;
  // Connects to host:port (port 0 means 21) and logs in: with user and password
  // when both are given (non-null), anonymously when both are null. Active mode.
  virtual std::unique_ptr<FtpConnection> connect(const std::string& host, std::uint16_t port,
                                                 const char* user, const char* pwd,
                                                 FtpError& error) = 0;
};

// The entry point of a backend. One FtpClient serves one task: sessions and
// connections opened from it may share a single logged-in control connection,
// so a whole task costs one login.
class FtpClient {
 public:
  virtual ~FtpClient() = default;
  virtual std::unique_ptr<FtpSession> open_session(const std::string& agent, FtpError& error) = 0;
};

// How long the client waits before it gives up with kTimeout. Users never set
// these; tests lower them to see faults through quickly.
struct FtpTimeouts {
  long connect_ms = 20000;   // TCP connect, greeting and login
  long response_ms = 60000;  // each command reply
  long accept_ms = 30000;    // the server connecting back in active mode
  long stall_ms = 60000;     // a data transfer that moves no byte for this long
};

// The platform's backend (libcurl on POSIX, WinINet on Windows).
std::unique_ptr<FtpClient> make_ftp_client(const FtpTimeouts& timeouts = FtpTimeouts());

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_FTP_CLIENT_H_
