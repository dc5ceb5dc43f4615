#include "ftp/ftp_client_curl.h"

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftp_client.h"
#include "ftp/listing_parser.h"
#include "ftp/remote_url.h"
#include "platform/platform.h"

namespace vandrisk {
namespace {

// libcurl's default 16 KiB receive buffer caps a loopback RETR at a few
// hundred MB/s; 512 KiB lets the disk, not the buffer, set the pace.
constexpr long kBufferSize = 512 * 1024;

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;


bool curl_ready() {
  // The tool is single-threaded; a function-local static runs this once.
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

long whole_seconds(long ms) { return ms <= 0 ? 1 : (ms + 999) / 1000; }

// CR, LF and NUL would end or split the FTP command that carries the name.
// libcurl refuses every byte below 0x20 in a URL path itself, but only after it
// has taken the logged-in connection, which it then drops: the next transfer
// would log in again.
bool has_control_byte(const std::string& path) {
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

// Who is logged in on the shared control connection, and where that login put
// us (PWD right after login, as libcurl saw it).
struct Login {
  std::string host;
  std::uint16_t port = 0;
  std::optional<std::string> user;
  std::optional<std::string> pwd;
  std::string entry_path;

  bool same_account(const Login& other) const {
    return host == other.host && port == other.port && user == other.user && pwd == other.pwd;
  }
};

// What every session and connection of one client shares, held through
// shared_ptr by each of them. The walk is one thread and never has two
// transfers at once (a listing is read whole before its first entry is
// used), so one easy handle serves every level: its logged-in control
// connection is the task's only one, and no level holds a receive buffer or
// connection of its own while its sub-directories are walked.
struct ClientState {
  explicit ClientState(const FtpTimeouts& t) : timeouts(t) {}

  FtpTimeouts timeouts;
  EasyHandle easy;
  std::optional<Login> login;
  // vsftpd and other servers without MLSD answer it with 500; asking once per
  // task is enough.
  bool mlsd_unsupported = false;
};

class VectorListing : public FtpListing {
 public:
  explicit VectorListing(std::vector<FtpEntry> entries) : entries_(std::move(entries)) {}

  bool next(FtpEntry& entry, FtpError& error) override {
    if (next_ >= entries_.size()) {
      error = ftp_errors::kNoMoreFiles;
      return false;
    }
    entry = std::move(entries_[next_++]);
    return true;
  }

 private:
  std::vector<FtpEntry> entries_;
  std::size_t next_ = 1;  // entry 0 went out through find_first
};

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// libcurl fetches every listing in ASCII mode and turns each CR of it into LF
// (a CR LF pair into one LF) before the write callback sees it, so a name
// holding a CR would come out as two lines. The debug callback gets the
// bytes as they were received: the listing is read from there.
int tap_received_data(CURL*, curl_infotype type, char* data, size_t size, void* userdata) {
  if (type == CURLINFO_DATA_IN) static_cast<std::string*>(userdata)->append(data, size);
  return 0;
}

// Where a RETR's bytes go. A file that outgrew its listed size is cut off at
// once instead of being read to the end. A short count makes libcurl abort
// the transfer with CURLE_WRITE_ERROR (kInternalError), as a full disk does.
struct FileSink {
  platform::NewLocalFile& file;
  std::optional<std::uint64_t> limit;
  std::uint64_t received = 0;
};

size_t write_to_file(char* data, size_t size, size_t count, void* userdata) {
  auto& sink = *static_cast<FileSink*>(userdata);
  const size_t n = size * count;
  if (sink.limit && n > *sink.limit - sink.received) return 0;
  if (!sink.file.write(data, n)) return 0;
  sink.received += n;
  return n;
}

class CurlFtpConnection : public FtpConnection {
 public:
  CurlFtpConnection(std::shared_ptr<ClientState> state, Login account)
      : state_(std::move(state)), account_(std::move(account)), easy_(state_->easy.get()) {}

  // False when libcurl refused an option (out of memory or a build without FTP).
  bool configure() {
    if (!easy_) return false;
    CURL* e = easy_;
    const FtpTimeouts& t = state_->timeouts;
    bool ok = true;
    auto set = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };
    set(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp"));
    set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
    // An empty string, not the default: the *_proxy environment variables
    // must not send an FTP task through an HTTP proxy.
    set(curl_easy_setopt(e, CURLOPT_PROXY, ""));
    // Active mode on the control connection's own address (EPRT, PORT as
    // libcurl's fallback when EPRT is refused).
    set(curl_easy_setopt(e, CURLOPT_FTPPORT, "-"));
    // One "CWD a/b" instead of one per part; names are sent as the listing
    // gave them, "." and ".." included.
    set(curl_easy_setopt(e, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD)));
    set(curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L));
    set(curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kBufferSize));
    set(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, t.connect_ms));
#if LIBCURL_VERSION_NUM >= 0x080600
    set(curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT_MS, t.response_ms));
#else
    set(curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, whole_seconds(t.response_ms)));
#endif
    // While libcurl waits for an active-mode connect-back no other timeout
    // runs; only this one ends the wait.
    set(curl_easy_setopt(e, CURLOPT_ACCEPTTIMEOUT_MS, t.accept_ms));
    // A stalled data connection: no reply timeout covers it, only the
    // low-speed check (averaged by libcurl over a few seconds).
    set(curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L));
    set(curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, whole_seconds(t.stall_ms)));
    // USERPWD "bob:" would send an empty PASS; without both, libcurl's own
    // anonymous login applies.
    if (account_.user && account_.pwd) {
      set(curl_easy_setopt(e, CURLOPT_USERNAME, account_.user->c_str()));
      set(curl_easy_setopt(e, CURLOPT_PASSWORD, account_.pwd->c_str()));
    }
    return ok;
  }

  // Logs in and learns the login directory: NOBODY on the login directory
  // sends USER, PASS and PWD only, and leaves the logged-in connection in the
  // client's handle for every later transfer.
  bool log_in(FtpError& error) {
    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    const CURLcode rc =
        perform(ftp_directory_url(account_.host, account_.port, ""), discard, nullptr, error);
    curl_easy_setopt(e, CURLOPT_NOBODY, 0L);
    if (rc != CURLE_OK) return false;
    const char* entry = nullptr;
    if (curl_easy_getinfo(e, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry) {
      account_.entry_path = entry;
    }
    state_->login = account_;
    return true;
  }

  std::unique_ptr<FtpListing> find_first(const std::string& remote_dir, FtpEntry& first,
                                         FtpError& error) override {
    if (has_control_byte(remote_dir)) {
      error = ftp_errors::kInternalError;
      return nullptr;
    }
    // Always a URL ending in '/' reached by CWD, and a bare MLSD/LIST: vsftpd
    // answers "LIST missing-dir" with an empty 226, indistinguishable from an
    // empty directory, while CWD into it fails with 550.
    const std::string url = ftp_directory_url(account_.host, account_.port,
                                              resolve_remote_path(account_.entry_path, remote_dir));
    std::string body;
    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, tap_received_data);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, &body);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    ListingFormat format = ListingFormat::kList;
    CURLcode rc = CURLE_OK;
    long reply = 0;
    if (!state_->mlsd_unsupported) {
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "MLSD");
      rc = perform(url, discard, nullptr, error);
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
      curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply);
      if (rc == CURLE_FTP_COULDNT_RETR_FILE && (reply == 500 || reply == 502)) {
        state_->mlsd_unsupported = true;
        body.clear();
      } else {
        format = ListingFormat::kMlsd;
      }
    }
    if (state_->mlsd_unsupported) {
      rc = perform(url, discard, nullptr, error);
      curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply);
    }
    curl_easy_setopt(e, CURLOPT_VERBOSE, 0L);
    if (rc != CURLE_OK) return nullptr;
    if (reply >= 400) {
      // libcurl takes a 450 to LIST or MLSD for "no files" and succeeds; the
      // server did refuse the listing, and the files in there exist.
      error = ftp_errors::kExtendedError;
      return nullptr;
    }

    std::vector<FtpEntry> entries = parse_listing(body, format);
    if (entries.empty()) {
      error = ftp_errors::kNoMoreFiles;
      return nullptr;
    }
    first = std::move(entries.front());
    return std::make_unique<VectorListing>(std::move(entries));
  }

  bool get_file(const std::string& remote_path, const std::string& local_path,
                std::optional<std::uint64_t> expected_size, FtpError& error) override {
    if (has_control_byte(remote_path)) {
      error = ftp_errors::kInternalError;
      return false;
    }
    std::unique_ptr<platform::NewLocalFile> file = platform::create_new_file(local_path);
    if (!file) {
      error = ftp_errors::kInternalError;
      return false;
    }
    // With the listing's size at hand the SIZE round trip buys nothing: the
    // count is checked here. Without it libcurl's SIZE check is all there is.
    curl_easy_setopt(easy_, CURLOPT_IGNORE_CONTENT_LENGTH, expected_size ? 1L : 0L);
    FileSink sink{*file, expected_size};
    const std::string url = ftp_file_url(account_.host, account_.port,
                                         resolve_remote_path(account_.entry_path, remote_path));
    if (perform(url, write_to_file, &sink, error) != CURLE_OK) return false;
    if (expected_size && sink.received != *expected_size) {
      // Only fewer bytes can get here: more were refused by the sink.
      error = ftp_errors::kConnectionAborted;
      return false;
    }
    if (!file->publish()) {
      error = ftp_errors::kInternalError;
      return false;
    }
    return true;
  }

 private:
  // One transfer; what it receives goes to writer(..., sink). Each transfer
  // names its own sink, so none can write through a stale pointer.
  CURLcode perform(const std::string& url, curl_write_callback writer, void* sink,
                   FtpError& error) {
    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, writer);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, sink);
    CURLcode rc = curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) rc = curl_easy_perform(e);
    if (rc != CURLE_OK) {
      long reply = 0;
      curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply);
      error = map_curl_result(rc, reply);
    }
    return rc;
  }

  std::shared_ptr<ClientState> state_;
  Login account_;
  CURL* easy_;  // the client's handle, owned by state_
};

class CurlFtpSession : public FtpSession {
 public:
  explicit CurlFtpSession(std::shared_ptr<ClientState> state) : state_(std::move(state)) {}

  std::unique_ptr<FtpConnection> connect(const std::string& host, std::uint16_t port,
                                         const char* user, const char* pwd,
                                         FtpError& error) override {
    if (host.empty()) {
      // libcurl would call "ftp://:21/" a malformed URL; to the user it is a
      // host that cannot be found.
      error = ftp_errors::kNameNotResolved;
      return nullptr;
    }
    Login account;
    account.host = host;
    account.port = port == 0 ? 21 : port;
    if (user && pwd) {
      account.user = user;
      account.pwd = pwd;
    }
    // Every level of the walk connects again while its parent's listing is
    // open. The logged-in control connection stays with the client's handle,
    // so another connect for the same account costs nothing on the wire; should the
    // server have dropped it meanwhile, libcurl logs in again by itself.
    const bool logged_in = state_->login && state_->login->same_account(account);
    if (logged_in) account.entry_path = state_->login->entry_path;

    auto connection = std::make_unique<CurlFtpConnection>(state_, std::move(account));
    if (!connection->configure()) {
      error = ftp_errors::kInternalError;
      return nullptr;
    }
    if (!logged_in && !connection->log_in(error)) return nullptr;
    return connection;
  }

 private:
  std::shared_ptr<ClientState> state_;
};

class CurlFtpClient : public FtpClient {
 public:
  explicit CurlFtpClient(const FtpTimeouts& timeouts)
      : state_(std::make_shared<ClientState>(timeouts)) {}

  std::unique_ptr<FtpSession> open_session(const std::string& /*agent: FTP sends none*/,
                                           FtpError& error) override {
    if (!state_->easy && !create_handle()) {
      error = ftp_errors::kInternalError;
      return nullptr;
    }
    return std::make_unique<CurlFtpSession>(state_);
  }

 private:
  bool create_handle() {
    if (!curl_ready()) return false;
    state_->easy.reset(curl_easy_init());
    return state_->easy != nullptr;
  }

  std::shared_ptr<ClientState> state_;
};

}  // namespace

// How libcurl's results map onto the FTP layer's codes:
//
//   CURLcode                                         FtpError
//   28 OPERATION_TIMEDOUT after a 421 reply          12003 kExtendedError
//   28 OPERATION_TIMEDOUT, 12 FTP_ACCEPT_TIMEOUT     12002 kTimeout
//   6  COULDNT_RESOLVE_HOST                          12007 kNameNotResolved
//   67 LOGIN_DENIED, 11 FTP_WEIRD_PASS_REPLY         12015 kLoginFailure
//   7  COULDNT_CONNECT                               12029 kCannotConnect
//   18 PARTIAL_FILE, 52 GOT_NOTHING, 55 SEND_ERROR,
//   56 RECV_ERROR, 10 FTP_ACCEPT_FAILED              12030 kConnectionAborted
//   any other code after a 4xx/5xx reply, e.g.
//   9 (CWD 550), 19 (RETR/MLSD 5xx), 78 (SIZE 550),
//   8 (5xx greeting), 17 (TYPE), 30 (EPRT and PORT)  12003 kExtendedError
//   9, 19, 78, 21, 17, 30, 31, 25 without such reply 12003 kExtendedError
//   everything else (3 malformed URL, 8 unexpected
//   non-error reply, 23 write error, 27 memory...)   12004 kInternalError
//
// libcurl's 18 means a cut-off file; 18 in our space means "end of listing",
// so it can never pass through. libcurl reports every 421 ("service not
// available": too many users at the greeting, an idle limit later) as a
// timeout; it is a refusal the server did send.
FtpError map_curl_result(CURLcode code, long response_code) {
  if (code == CURLE_OPERATION_TIMEDOUT && response_code == 421) return ftp_errors::kExtendedError;
  switch (code) {
    case CURLE_OK:
      return ftp_errors::kNone;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
      return ftp_errors::kTimeout;
    case CURLE_COULDNT_RESOLVE_HOST:
      return ftp_errors::kNameNotResolved;
    case CURLE_LOGIN_DENIED:
    case CURLE_FTP_WEIRD_PASS_REPLY:
      return ftp_errors::kLoginFailure;
    case CURLE_COULDNT_CONNECT:
      return ftp_errors::kCannotConnect;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_FTP_ACCEPT_FAILED:
      return ftp_errors::kConnectionAborted;
    default:
      break;
  }
  if (response_code >= 400 && response_code <= 599) return ftp_errors::kExtendedError;
  switch (code) {
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_QUOTE_ERROR:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_COULDNT_USE_REST:
    case CURLE_UPLOAD_FAILED:
      return ftp_errors::kExtendedError;
    default:
      return ftp_errors::kInternalError;
  }
}

std::string resolve_remote_path(const std::string& entry_path, const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  if (entry_path.empty() || entry_path.front() != '/') return path;
  if (path.empty()) return entry_path;
  std::string joined = entry_path;
  if (joined.back() != '/') joined.push_back('/');
  return joined + path;
}

std::unique_ptr<FtpClient> make_ftp_client(const FtpTimeouts& timeouts) {
  return std::make_unique<CurlFtpClient>(timeouts);
}

}  // namespace vandrisk
