// The WinINet backend of the FTP client layer (Windows builds). WinINet's
// GetLastError() codes are the layer's own code space, so they pass through
// unchanged.
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftp_client.h"
#include "ftp/listing_parser.h"

namespace vandrisk {
namespace {

struct InternetCloser {
  void operator()(void* handle) const { InternetCloseHandle(static_cast<HINTERNET>(handle)); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// Listings and files always come from the server: the URL cache could hand
// out an old listing, and writing downloads into it only costs disk.
constexpr DWORD kNoCache = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD;

// WinINet's own codes (ERROR_INTERNET_* and ERROR_FTP_*).
bool is_wininet_code(DWORD code) { return code > INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST; }

// GetLastError() after a failed WinINet call.
//
// Wine's FtpFindFirstFile on an empty directory returns NULL with
// GetLastError() cleared by its socket clean-up, while WinINet's per-thread
// error (what InternetGetLastResponseInfo reports) still says
// ERROR_NO_MORE_FILES. That one is taken when GetLastError() says nothing; a
// failure with no code anywhere still fails.
FtpError last_error() {
  const DWORD code = GetLastError();
  if (code != ERROR_SUCCESS) return static_cast<FtpError>(code);
  DWORD thread_error = 0;
  // Zeroed and one byte longer than announced: Wine copies the announced
  // length and then runs strlen over the buffer.
  char response[257] = {};
  DWORD length = sizeof response - 1;
  if (InternetGetLastResponseInfoA(&thread_error, response, &length) &&
      (thread_error == ERROR_NO_MORE_FILES || is_wininet_code(thread_error))) {
    return static_cast<FtpError>(thread_error);
  }
  return ftp_errors::kInternalError;
}

FtpEntry to_entry(const WIN32_FIND_DATAA& data) {
  FtpEntry entry;
  entry.name = data.cFileName;
  // Bytes the ANSI code page cannot read, and characters it cannot spell,
  // come back as '?' (which no name Windows stores holds anyway).
  entry.name_altered = entry.name.find('?') != std::string::npos;
  // WinINet's reading of the LIST date, in the server's own clock.
  SYSTEMTIME written;
  if (FileTimeToSystemTime(&data.ftLastWriteTime, &written) && written.wYear > 1601) {
    entry.time.year = written.wYear;
    entry.time.month = written.wMonth;
    entry.time.day = written.wDay;
    entry.time.hour = written.wHour;
    entry.time.minute = written.wMinute;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    entry.kind = EntryKind::kDirectory;
  } else {
    // FILE_ATTRIBUTE_NORMAL or whatever else the listing parser chose: WinINet
    // reports everything that is not a directory as a file.
    entry.kind = EntryKind::kFile;
    entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  return entry;
}

// The agent text every session announces; WinINet sends it nowhere over FTP,
// but the session needs one.
constexpr char kAgent[] = "VandriskApp";

// Owns the InternetOpen handle that the client's connections hang off.
using InternetSession = std::shared_ptr<void>;

// A receive buffer as large as libcurl's on the other build.
constexpr DWORD kReadChunk = 512 * 1024;

// The reply code of WinINet's last FTP exchange on this thread, from the text
// of the server's last response ("550 No such file"); 0 when there is none.
int last_reply() {
  DWORD code = 0;
  char response[257] = {};
  DWORD length = sizeof response - 1;
  if (!InternetGetLastResponseInfoA(&code, response, &length)) return 0;
  // A multi-line reply: its last line carries the final code.
  const char* line = response;
  for (const char* p = response; *p; ++p) {
    if (*p == '\n' && p[1] != '\0') line = p + 1;
  }
  if (line[0] < '1' || line[0] > '5' || line[1] < '0' || line[1] > '9' || line[2] < '0' ||
      line[2] > '9') {
    return 0;
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

FtpStatus failure() { return {last_error(), last_reply()}; }

// The text after the code of WinINet's last response ("213 1234" gives
// "1234"); empty unless its code is `code`.
std::string last_reply_text(int code) {
  DWORD error = 0;
  char response[1025] = {};
  DWORD length = sizeof response - 1;
  if (!InternetGetLastResponseInfoA(&error, response, &length) || last_reply() != code) return "";
  std::string text(response);
  const std::size_t line = text.rfind('\n', text.size() > 1 ? text.size() - 2 : 0);
  if (line != std::string::npos && line + 1 < text.size()) text = text.substr(line + 1);
  text = text.size() > 4 ? text.substr(4) : std::string();
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// How long a transfer waits for the server's final reply once all its bytes
// have come (a NAT may have dropped the idle control connection meanwhile).
// WinINet's own wait applies where it takes no other (Wine keeps 30 s).
constexpr DWORD kLastReplyWaitMs = 5000;

class WinInetConnection : public FtpConnection {
 public:
  WinInetConnection(InternetSession session, InternetHandle connection, std::string home,
                    const std::atomic<bool>* stop)
      : session_(std::move(session)),
        connection_(std::move(connection)),
        home_(std::move(home)),
        stop_(stop) {}

  const std::string& login_directory() const override { return home_; }

  bool list(const std::string& dir, FtpListing& listing, FtpStatus& status) override {
    HINTERNET connection = connection_.get();
    // FtpFindFirstFile's search path means different things to different
    // implementations (Wine takes its last segment as a name pattern and lists
    // the parent), and a server may answer "LIST missing-dir" with an empty
    // list. CWD into the directory and a bare LIST mean the same everywhere,
    // and CWD fails for a directory that does not exist.
    const bool moved = !dir.empty();
    if (moved && !FtpSetCurrentDirectoryA(connection, dir.c_str())) {
      status = failure();
      return false;
    }

    listing = FtpListing();
    FtpStatus end{ftp_errors::kNoMoreFiles, 0};
    WIN32_FIND_DATAA data;
    // One find handle per connection at a time: the whole listing is read and
    // the handle closed before anything else is sent.
    InternetHandle find(FtpFindFirstFileA(connection, nullptr, &data, kNoCache, 0));
    if (!find) {
      end = failure();
    } else {
      do {
        listing.entries.push_back(to_entry(data));
      } while (InternetFindNextFileA(find.get(), &data));
      end = failure();
      find.reset();
    }

    // Later relative paths (fetches, the next listing) are relative to the
    // login directory, as on every other backend.
    if (moved && !FtpSetCurrentDirectoryA(connection, home_.c_str())) {
      const FtpStatus back = failure();
      // A listing that failed first (e.g. the connection dropped) says more.
      status = listing.entries.empty() && end.code != ftp_errors::kNoMoreFiles ? end : back;
      return false;
    }
    if (end.code == ftp_errors::kNoMoreFiles) return true;  // complete, maybe empty
    if (listing.entries.empty()) {
      status = end;
      return false;
    }
    listing.cut_short = end.code;
    return true;
  }

  bool fetch(const std::string& remote_path, std::uint64_t offset,
             std::optional<std::uint64_t> size, FetchSink& sink,
             FtpStatus& status) override {
    HINTERNET connection = connection_.get();
    if (offset > 0) {
      // WinINet has no resume of its own: the REST goes out as a raw command
      // and stays pending on the server for the RETR FtpOpenFile sends.
      const std::string rest = "REST " + std::to_string(offset);
      if (!FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, rest.c_str(), 0, nullptr) ||
          last_reply() != 350) {
        status = {ftp_errors::kExtendedError, last_reply()};
        return false;
      }
    }
    InternetHandle file(FtpOpenFileA(connection, remote_path.c_str(), GENERIC_READ,
                                     FTP_TRANSFER_TYPE_BINARY | kNoCache, 0));
    if (!file) {
      status = failure();
      return false;
    }
    std::vector<char> buffer(kReadChunk);
    std::uint64_t received = 0;
    for (;;) {
      // WinINet has no callback that could stop a blocked read: the flag is
      // looked at between reads, so a stalled one runs into its timeout.
      if (stop_ && stop_->load()) {
        status = {ftp_errors::kOperationCancelled, 0};
        return false;
      }
      DWORD got = 0;
      if (!InternetReadFile(file.get(), buffer.data(), kReadChunk, &got)) {
        status = failure();
        return false;
      }
      if (got == 0) break;
      received += got;
      if (!sink.write(buffer.data(), got)) {
        status = {ftp_errors::kInternalError, 0};
        return false;
      }
    }
    // Closing the file handle reads the server's 226 (or its 426/451). With
    // every byte here, that reply gets only a short wait.
    DWORD saved = 0;
    DWORD saved_size = sizeof saved;
    const bool shortened =
        size && received == *size - offset &&
        InternetQueryOptionA(connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &saved, &saved_size);
    if (shortened) {
      DWORD wait = kLastReplyWaitMs;
      InternetSetOptionA(connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &wait, sizeof wait);
    }
    file.reset();
    const int reply = last_reply();
    if (shortened) InternetSetOptionA(connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &saved, sizeof saved);
    if (reply >= 400) {
      status = {ftp_errors::kConnectionAborted, reply};
      return false;
    }
    if (reply < 200 && size && received == *size - offset) {
      // No final reply came: the bytes are all here, the connection is done.
      status = {ftp_errors::kTimeout, 0};
      return false;
    }
    return true;
  }

  bool look(const std::string& remote_path, unsigned wanted, RemoteFacts& facts,
            FtpStatus& status) override {
    facts = RemoteFacts();
    HINTERNET connection = connection_.get();
    // WinINet has no MLST: SIZE (in binary mode, which pyftpdlib insists on)
    // and MDTM as raw commands.
    const auto command = [&](const std::string& text) {
      const bool sent =
          FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, text.c_str(), 0, nullptr);
      const int reply = last_reply();
      if (sent && reply >= 200 && reply < 400) return true;
      status = sent || reply >= 400 ? FtpStatus{ftp_errors::kExtendedError, reply} : failure();
      return false;
    };
    if (wanted & kSize) {
      if (!command("TYPE I") || !command("SIZE " + remote_path)) return false;
      const std::string text = last_reply_text(213);
      if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        status = {ftp_errors::kExtendedError, last_reply()};
        return false;
      }
      facts.size = std::stoull(text);
    }
    if (wanted & kTime) {
      if (!command("MDTM " + remote_path)) {
        return (wanted & kSize) && status.code == ftp_errors::kExtendedError &&
               status.reply >= 500;
      }
      facts.modify = last_reply_text(213);
    }
    return true;
  }

  // WinINet lists with LIST, which tells no identities: nothing to compare.
  std::string identity(const std::string& /*dir*/) override { return std::string(); }

 private:
  InternetSession session_;  // outlives the connection handle
  InternetHandle connection_;
  std::string home_;
  const std::atomic<bool>* stop_;
};

void set_timeout(HINTERNET handle, DWORD option, long ms) {
  DWORD value = ms <= 0 ? 1 : static_cast<DWORD>(ms);
  // Best effort: WinINet documents some of these for FTP as ignored, and Wine
  // keeps its own fixed limits for FTP.
  InternetSetOptionA(handle, option, &value, sizeof value);
}

class WinInetClient : public FtpClient {
 public:
  explicit WinInetClient(InternetSession session) : session_(std::move(session)) {}

  std::unique_ptr<FtpConnection> connect(const FtpAccount& account, FtpStatus& status,
                                         const std::atomic<bool>* stop) override {
    if (account.host.empty()) {
      // The same code the other backends give a host that cannot be found.
      status = {ftp_errors::kNameNotResolved, 0};
      return nullptr;
    }
    const bool with_login = account.user && account.password;
    // Null user and password: WinINet logs in as "anonymous" by itself.
    // Without INTERNET_FLAG_PASSIVE the data connections are active (PORT).
    InternetHandle connection(InternetConnectA(
        static_cast<HINTERNET>(session_.get()), account.host.c_str(),
        account.port == 0 ? INTERNET_DEFAULT_FTP_PORT : account.port,
        with_login ? account.user->c_str() : nullptr,
        with_login ? account.password->c_str() : nullptr, INTERNET_SERVICE_FTP,
        account.passive ? INTERNET_FLAG_PASSIVE : 0, 0));
    if (!connection) {
      status = failure();
      return nullptr;
    }
    // PWD once: the directory every later relative path starts from.
    char home[INTERNET_MAX_PATH_LENGTH + 1];
    DWORD size = sizeof home;
    if (!FtpGetCurrentDirectoryA(connection.get(), home, &size)) {
      status = failure();
      return nullptr;
    }
    if (account.utf8 != FtpAccount::Utf8::kNever) {
      bool utf8 = account.utf8 == FtpAccount::Utf8::kAlways;
      if (!utf8 && FtpCommandA(connection.get(), FALSE, FTP_TRANSFER_TYPE_BINARY, "FEAT", 0, nullptr)) {
        DWORD error = 0;
        char reply[4096] = {};
        DWORD length = sizeof reply - 1;
        utf8 = InternetGetLastResponseInfoA(&error, reply, &length) && feat_lists_utf8(reply);
      }
      // Whatever the server answers.
      if (utf8) FtpCommandA(connection.get(), FALSE, FTP_TRANSFER_TYPE_BINARY, "OPTS UTF8 ON", 0, nullptr);
    }
    return std::make_unique<WinInetConnection>(session_, std::move(connection), home, stop);
  }

  // WinINet speaks plain FTP only.
  bool supports_tls() const override { return false; }

 private:
  InternetSession session_;
};

}  // namespace

std::unique_ptr<FtpClient> make_ftp_client(const FtpTimeouts& timeouts) {
  InternetHandle internet(
      InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet) return nullptr;
  set_timeout(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connect_ms);
  set_timeout(internet.get(), INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT, timeouts.response_ms);
  set_timeout(internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.response_ms);
  set_timeout(internet.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, timeouts.stall_ms);
  // WinINet has no option for the wait on an active-mode connect-back
  // (accept_ms): its own limit applies there.
  return std::make_unique<WinInetClient>(InternetSession(internet.release(), InternetCloser()));
}

}  // namespace vandrisk
