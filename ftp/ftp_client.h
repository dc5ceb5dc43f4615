// The FTP client seam: what a download task needs from an FTP server, and
// nothing more. A task logs in once per connection, lists directories whole
// and fetches files into a sink it owns. It exists so that each OS gets a thin
// backend (libcurl on POSIX, WinINet on Windows) and so that the walk can be
// tested against an in-memory fake (testing/fake_ftp_client.h); one contract
// test holds every backend to the same behaviour.
//
// Errors: every failure carries one FtpError from a single code space shared
// by all backends (the numbers the Windows FTP library reports, see
// ftp_errors.h), plus the server's last reply code. No backend lets a
// library's own code leak through.
#ifndef VANDRISK_FTP_FTP_CLIENT_H_
#define VANDRISK_FTP_FTP_CLIENT_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_errors.h"

namespace vandrisk {

// Where and how a task logs in. One value per task; every connection of the
// task is opened from it.
struct FtpAccount {
  std::string host;
  std::uint16_t port = 0;  // 0: the FTP port, 21
  // Both or neither: without them the login is anonymous.
  std::optional<std::string> user;
  std::optional<std::string> password;
  bool passive = false;  // data connections by EPSV, then PASV (else EPRT/PORT)
  bool tls = false;      // AUTH TLS before the login; data connections protected too
  std::string tls_ca;    // PEM file trusted instead of the system's CA store
  // After the login: nothing (what the tool always did), FEAT and then
  // "OPTS UTF8 ON" where FEAT lists UTF8, or that OPTS in any case. Servers
  // such as IIS send names in their ANSI code page until asked. The reply to
  // the OPTS is never looked at: many servers refuse it and send UTF-8 anyway.
  enum class Utf8 { kNever, kWhereListed, kAlways } utf8 = Utf8::kNever;
};

enum class EntryKind {
  kFile,       // a plain file (or a link the server resolved to one)
  kDirectory,  // a directory (or a link the server resolved to one)
  kOther,      // neither, or not known (e.g. a LIST symlink): the walk skips it
  // A listing line that looks like an entry but could not be read; `name`
  // holds the whole line. The walk reports it and goes on.
  kUnrecognized,
};

// When an entry last changed, as far as its listing told.
struct EntryTime {
  // The MLSD "modify" fact as sent: UTC, YYYYMMDDHHMMSS with maybe a
  // fraction (RFC 3659 time-val). Empty when the listing had none.
  std::string modify;
  // A LIST date: the server's local time in a zone nobody told. year 0: not
  // shown (ls shows the clock instead for the last half year); month 0: no
  // date could be read; hour -1: the date shows no clock.
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = -1;
  int minute = 0;
};

// One entry of a remote directory listing. `name` is a bare name as the server
// sent it (raw bytes, no decoding); it may hold any byte, the walk vets it.
struct FtpEntry {
  std::string name;
  EntryKind kind = EntryKind::kOther;
  std::optional<std::uint64_t> size;  // when the listing told it
  std::string unique;                 // MLSD "unique" fact; empty when not told
  EntryTime time;
  // The library handed the name over altered (WinINet passes names through
  // the ANSI code page, which loses what it cannot spell): asking the server
  // for it would name another file.
  bool name_altered = false;
};

// A whole directory listing, entries in the order the server sent them.
struct FtpListing {
  std::vector<FtpEntry> entries;
  // The listed directory's own identity (MLSD "type=cdir" entry's unique
  // fact); empty when the server told none.
  std::string unique;
  // kNone when the listing is complete. Otherwise it broke off after the
  // entries above with this code (only a library that hands out entries one
  // by one can tell this apart from a failure to list at all).
  FtpError cut_short = ftp_errors::kNone;
  // When it arrived (set by whoever asked for it): the first look at each of
  // its files, against which a later one tells whether a file is changing.
  std::chrono::steady_clock::time_point listed_at;
};

// Why an operation failed: the code the console shows and the server's last
// reply code (0 when none came, e.g. the connection dropped).
struct FtpStatus {
  FtpError code = ftp_errors::kNone;
  int reply = 0;
};

// What the server says of one file when asked again after its listing.
struct RemoteFacts {
  std::optional<std::uint64_t> size;
  std::string modify;  // UTC time-val (MLST "modify" or MDTM); empty when not told
};

// Receives a fetched file's bytes, in order. Owned by the caller, who decides
// where the bytes go and checks how many came.
class FetchSink {
 public:
  virtual ~FetchSink() = default;
  // False stops the transfer: fetch() then fails with kInternalError (the
  // sink knows why: a full disk, more bytes than the listing said...).
  virtual bool write(const char* data, std::size_t size) = 0;
};

// One logged-in control connection. Used by one thread at a time; closing it
// (destroying the object) logs out.
class FtpConnection {
 public:
  virtual ~FtpConnection() = default;

  // The directory the login put us in, as the server reported it (PWD);
  // empty when the server did not say.
  virtual const std::string& login_directory() const = 0;

  // Lists `dir` ('/'-separated; empty means the login directory, a path
  // without a leading '/' is relative to it). An empty directory is a
  // success with no entries; a directory that does not exist is a failure
  // (kExtendedError), never "empty".
  virtual bool list(const std::string& dir, FtpListing& listing, FtpStatus& status) = 0;

  // Copies `remote_path` byte for byte (binary type) into `sink`, from byte
  // `offset` on (REST; a server that refuses it fails the fetch with
  // kExtendedError). `size` is what the listing said, when it said it; the
  // backend may use it instead of asking the server. Checking the count is
  // the caller's business.
  //
  // Once every byte up to `size` has arrived, the backend waits only a few
  // seconds for the server's final reply: a NAT that dropped the idle control
  // connection during a long transfer would otherwise cost the whole reply
  // timeout. Such a fetch fails with kTimeout or kConnectionAborted and no
  // reply code, after all its bytes reached the sink; the connection is then
  // of no further use.
  virtual bool fetch(const std::string& remote_path, std::uint64_t offset,
                     std::optional<std::uint64_t> size, FetchSink& sink, FtpStatus& status) = 0;

  // Asks the server about one file now, for what `wanted` names (kSize,
  // kTime or both): MLST where the server has it (one question for both),
  // else SIZE and MDTM. False when the server cannot tell what was asked (a
  // 5xx reply: kExtendedError with its code) or the question failed (a
  // timeout, a dropped connection); `facts` holds whatever it did tell.
  enum Wanted : unsigned { kSize = 1, kTime = 2 };
  virtual bool look(const std::string& remote_path, unsigned wanted, RemoteFacts& facts,
                    FtpStatus& status) = 0;

  // The identity (MLST "unique" fact) of `dir`; empty when the server does
  // not tell it or the question fails, which never fails anything else.
  virtual std::string identity(const std::string& dir) = 0;
};

// How long a connection waits before it gives up with kTimeout. Users never
// set these; tests lower them to see faults through quickly.
struct FtpTimeouts {
  long connect_ms = 20000;   // TCP connect, greeting and login
  long response_ms = 60000;  // each command reply
  long accept_ms = 30000;    // the server connecting back in active mode
  long stall_ms = 60000;     // a data transfer that moves no byte for this long
};

// Opens connections. One client serves one task; connect() may be called
// from several threads at once, and each connection it returns is then used
// by one thread at a time.
class FtpClient {
 public:
  virtual ~FtpClient() = default;

  // Connects to the account's server and logs in: one call, one control
  // connection, one login. nullptr with the status when that fails.
  //
  // `stop`, when given, lets another thread end the connection's work early:
  // once it reads true, the operation in progress fails soon (within about a
  // second where the library allows) with kOperationCancelled.
  virtual std::unique_ptr<FtpConnection> connect(const FtpAccount& account, FtpStatus& status,
                                                 const std::atomic<bool>* stop = nullptr) = 0;

  // Whether this backend can log in with TLS (account.tls) at all.
  virtual bool supports_tls() const = 0;
};

// The platform's backend (libcurl on POSIX, WinINet on Windows).
std::unique_ptr<FtpClient> make_ftp_client(const FtpTimeouts& timeouts = FtpTimeouts());

}  // namespace vandrisk

#endif  // VANDRISK_FTP_FTP_CLIENT_H_
