// The WinINet backend of the FTP client layer (Windows builds). WinINet's
// GetLastError() codes are the layer's own code space, so they pass through
// unchanged.
#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftp_client.h"
#include "platform/win32_files.h"
#include "platform/windows_names.h"

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

class VectorListing : public FtpListing {
 public:
  VectorListing(std::vector<FtpEntry> entries, FtpError end) : entries_(std::move(entries)), end_(end) {}

  bool next(FtpEntry& entry, FtpError& error) override {
    if (next_ >= entries_.size()) {
      error = end_;
      return false;
    }
    entry = std::move(entries_[next_++]);
    return true;
  }

 private:
  std::vector<FtpEntry> entries_;
  std::size_t next_ = 1;  // entries_[0] went out with find_first
  FtpError end_;          // kNoMoreFiles, or the code the listing broke off with
};

struct Account {
  std::string host;
  INTERNET_PORT port = INTERNET_DEFAULT_FTP_PORT;
  std::optional<std::string> user;
  std::optional<std::string> pwd;

  bool operator==(const Account& other) const {
    return host == other.host && port == other.port && user == other.user && pwd == other.pwd;
  }
};

// One logged-in control connection and the directory the login put us in.
struct Login {
  std::shared_ptr<void> internet;  // keeps the InternetOpen handle alive
  InternetHandle connection;
  Account account;
  std::string home;
};

// What the sessions and connections of one client share.
struct ClientState {
  explicit ClientState(const FtpTimeouts& t) : timeouts(t) {}

  FtpTimeouts timeouts;
  std::shared_ptr<void> internet;
  std::shared_ptr<Login> login;
};

class WinInetConnection : public FtpConnection {
 public:
  explicit WinInetConnection(std::shared_ptr<Login> login) : login_(std::move(login)) {}

  std::unique_ptr<FtpListing> find_first(const std::string& remote_dir, FtpEntry& first,
                                         FtpError& error) override {
    HINTERNET connection = login_->connection.get();
    // FtpFindFirstFile's search path means different things to different
    // implementations (Wine takes its last segment as a name pattern and lists
    // the parent), and a server may answer "LIST missing-dir" with an empty
    // list. CWD into the directory and a bare LIST mean the same everywhere,
    // and CWD fails for a directory that does not exist.
    const bool moved = !remote_dir.empty();
    if (moved && !FtpSetCurrentDirectoryA(connection, remote_dir.c_str())) {
      error = last_error();
      return nullptr;
    }

    std::vector<FtpEntry> entries;
    FtpError end = ftp_errors::kNoMoreFiles;
    WIN32_FIND_DATAA data;
    // One find handle per connection at a time: the whole listing is read and
    // the handle closed before the walk goes on.
    InternetHandle find(FtpFindFirstFileA(connection, nullptr, &data, kNoCache, 0));
    if (!find) {
      end = last_error();
    } else {
      do {
        entries.push_back(to_entry(data));
      } while (InternetFindNextFileA(find.get(), &data));
      end = last_error();
      find.reset();
    }

    // Later relative paths (fetches, the next listing) are relative to the
    // login directory, as on every other backend.
    if (moved && !FtpSetCurrentDirectoryA(connection, login_->home.c_str())) {
      const FtpError back = last_error();
      // A listing that failed first (e.g. the connection dropped) says more.
      error = entries.empty() && end != ftp_errors::kNoMoreFiles ? end : back;
      return nullptr;
    }
    if (entries.empty()) {
      error = end;  // kNoMoreFiles: an empty directory
      return nullptr;
    }
    first = entries.front();
    return std::make_unique<VectorListing>(std::move(entries), end);
  }

  bool get_file(const std::string& remote_path, const std::string& local_path,
                std::optional<std::uint64_t> expected_size, FtpError& error) override {
    // Windows would store such a name elsewhere ("a:b" as stream "b" of "a",
    // "x." as "x") or write to a device ("nul.txt").
    if (platform::is_unsafe_windows_name(platform::last_path_component(local_path)) ||
        GetFileAttributesA(local_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      error = ftp_errors::kInternalError;
      return false;
    }
    // FtpGetFile writes straight into the file it is given: a transfer that
    // breaks off (or a kill) could leave a partial file under the final name.
    // It writes to a temporary sibling that gets the final name only complete.
    for (int attempt = 0; attempt < 100; ++attempt) {
      platform::win32::TempFileGuard temp(platform::win32::temp_sibling_path(local_path));
      if (!FtpGetFileA(login_->connection.get(), remote_path.c_str(), temp.path().c_str(),
                       TRUE /* fail if it exists */, FILE_ATTRIBUTE_NORMAL,
                       FTP_TRANSFER_TYPE_BINARY | kNoCache, 0)) {
        const FtpError code = last_error();
        if (code == ERROR_FILE_EXISTS) {
          temp.dismiss();  // a leftover of a killed run, not ours to delete
          continue;
        }
        error = code;
        return false;
      }
      if (expected_size && platform::win32::file_size(temp.path()) != expected_size) {
        error = ftp_errors::kConnectionAborted;
        return false;
      }
      if (!platform::win32::publish_no_replace(temp.path(), local_path)) {
        error = ftp_errors::kInternalError;
        return false;
      }
      temp.dismiss();
      return true;
    }
    error = ftp_errors::kInternalError;
    return false;
  }

 private:
  std::shared_ptr<Login> login_;
};

class WinInetSession : public FtpSession {
 public:
  explicit WinInetSession(std::shared_ptr<ClientState> state) : state_(std::move(state)) {}

  std::unique_ptr<FtpConnection> connect(const std::string& host, std::uint16_t port,
                                         const char* user, const char* pwd,
                                         FtpError& error) override {
    if (host.empty()) {
      // The same code the other backends give a host that cannot be found.
      error = ftp_errors::kNameNotResolved;
      return nullptr;
    }
    Account account;
    account.host = host;
    account.port = port == 0 ? INTERNET_DEFAULT_FTP_PORT : port;
    if (user && pwd) {
      account.user = user;
      account.pwd = pwd;
    }
    // Every level of the walk connects again: the task's one login serves
    // them all.
    if (!state_->login || !(state_->login->account == account)) {
      std::shared_ptr<Login> login = log_in(std::move(account), error);
      if (!login) return nullptr;
      state_->login = std::move(login);
    }
    return std::make_unique<WinInetConnection>(state_->login);
  }

 private:
  std::shared_ptr<Login> log_in(Account account, FtpError& error) {
    auto login = std::make_shared<Login>();
    login->internet = state_->internet;
    // Null user and password: WinINet logs in as "anonymous" by itself.
    // Flags 0: active mode (no INTERNET_FLAG_PASSIVE).
    login->connection.reset(InternetConnectA(
        static_cast<HINTERNET>(state_->internet.get()), account.host.c_str(), account.port,
        account.user ? account.user->c_str() : nullptr, account.pwd ? account.pwd->c_str() : nullptr,
        INTERNET_SERVICE_FTP, 0, 0));
    if (!login->connection) {
      error = last_error();
      return nullptr;
    }
    // PWD once: the directory every later relative path starts from.
    char home[INTERNET_MAX_PATH_LENGTH + 1];
    DWORD size = sizeof home;
    if (!FtpGetCurrentDirectoryA(login->connection.get(), home, &size)) {
      error = last_error();
      return nullptr;
    }
    login->home = home;
    login->account = std::move(account);
    return login;
  }

  std::shared_ptr<ClientState> state_;
};

void set_timeout(HINTERNET handle, DWORD option, long ms) {
  DWORD value = ms <= 0 ? 1 : static_cast<DWORD>(ms);
  // Best effort: WinINet documents some of these for FTP as ignored, and Wine
  // keeps its own fixed limits for FTP.
  InternetSetOptionA(handle, option, &value, sizeof value);
}

class WinInetClient : public FtpClient {
 public:
  explicit WinInetClient(const FtpTimeouts& timeouts)
      : state_(std::make_shared<ClientState>(timeouts)) {}

  std::unique_ptr<FtpSession> open_session(const std::string& agent, FtpError& error) override {
    if (!state_->internet) {
      InternetHandle internet(
          InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
      if (!internet) {
        error = last_error();
        return nullptr;
      }
      const FtpTimeouts& t = state_->timeouts;
      set_timeout(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, t.connect_ms);
      set_timeout(internet.get(), INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT, t.response_ms);
      set_timeout(internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, t.response_ms);
      set_timeout(internet.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, t.stall_ms);
      // WinINet has no option for the wait on an active-mode connect-back
      // (accept_ms): its own limit applies there.
      state_->internet = std::shared_ptr<void>(internet.release(), InternetCloser());
    }
    return std::make_unique<WinInetSession>(state_);
  }

 private:
  std::shared_ptr<ClientState> state_;
};

}  // namespace

std::unique_ptr<FtpClient> make_ftp_client(const FtpTimeouts& timeouts) {
  return std::make_unique<WinInetClient>(timeouts);
}

}  // namespace vandrisk
