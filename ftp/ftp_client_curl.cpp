#include "ftp/ftp_client_curl.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftp_client.h"
#include "ftp/listing_parser.h"
#include "ftp/remote_time.h"
#include "ftp/remote_url.h"

namespace vandrisk {
namespace {

// libcurl's default 16 KiB receive buffer caps a loopback RETR at a few
// hundred MB/s; 512 KiB lets the disk, not the buffer, set the pace.
constexpr long kBufferSize = 512 * 1024;

// Owns a libcurl string list; append() failing leaves it not ok().
class SList {
 public:
  SList() = default;
  SList(const SList&) = delete;
  SList& operator=(const SList&) = delete;
  ~SList() { curl_slist_free_all(list_); }
  void append(const std::string& text) {
    if (!ok_) return;
    curl_slist* grown = curl_slist_append(list_, text.c_str());
    if (grown) {
      list_ = grown;
    } else {
      ok_ = false;
    }
  }
  bool ok() const { return ok_; }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
  bool ok_ = true;
};

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

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

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// libcurl fetches every listing in ASCII mode and turns each CR of it into LF
// (a CR LF pair into one LF) before the write callback sees it, so a name
// holding a CR would come out as two lines. The debug callback gets the
// bytes as they were received: the listing is read from there.
int tap_received_data(CURL*, curl_infotype type, char* data, size_t size, void* userdata) {
  if (type == CURLINFO_DATA_IN) static_cast<std::string*>(userdata)->append(data, size);
  return 0;
}

// How long a transfer waits for the server's final reply once every byte it
// expects has arrived. libcurl itself would wait a whole minute (its wait for
// the reply after a transfer ignores the reply timeout), and behind a NAT that
// dropped the idle control connection during a long transfer that reply
// never comes.
constexpr long kLastReplyWaitMs = 5000;

// What the progress callback watches for one connection: the task's stop
// flag, and a transfer whose bytes have all come while its end does not.
struct Watch {
  const std::atomic<bool>* stop = nullptr;
  std::optional<curl_off_t> expected;  // bytes this transfer should bring
  long wait_ms = kLastReplyWaitMs;
  std::optional<std::chrono::steady_clock::time_point> complete_since;
  bool gave_up = false;  // the wait after the last byte ran out
};

// Called by libcurl about once a second even while nothing moves, also while
// it waits for the reply after a transfer, so that a stalled transfer can be
// stopped and a missing final reply cut short.
int check_progress(void* userdata, curl_off_t, curl_off_t now_down, curl_off_t, curl_off_t) {
  auto* watch = static_cast<Watch*>(userdata);
  if (watch->stop && watch->stop->load()) return 1;
  if (!watch->expected || now_down < *watch->expected) return 0;
  const auto now = std::chrono::steady_clock::now();
  if (!watch->complete_since) watch->complete_since = now;
  if (now - *watch->complete_since < std::chrono::milliseconds(watch->wait_ms)) return 0;
  watch->gave_up = true;
  return 1;
}

// Whether this libcurl can protect an active-mode data connection: before
// 8.0.0 it never starts TLS on an accepted connection and the transfer stalls
// after the 150 reply (curl issue 10666). Asked of the library at hand, not of
// the headers the tool was built with.
bool active_tls_works() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  return info && info->version_num >= 0x080000;
}

size_t collect_reply(char* data, size_t size, size_t count, void* userdata) {
  static_cast<std::string*>(userdata)->append(data, size * count);
  return size * count;
}

// The "unique" fact of an MLST reply ("250-Listing /a\r\n type=dir;unique=
// 803g2;... /a\r\n250 End"); empty when there is none.
std::string unique_fact(const std::string& reply) {
  std::size_t at = 0;
  while ((at = reply.find("unique=", at)) != std::string::npos) {
    // A fact starts the facts or follows a ';'.
    if (at == 0 || reply[at - 1] == ';' || reply[at - 1] == ' ') {
      const std::size_t begin = at + 7;
      const std::size_t end = reply.find_first_of("; \r\n", begin);
      return reply.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    at += 7;
  }
  return std::string();
}

// The text after the code of the last reply line with `code` ("213 1234"
// gives "1234"); empty when there is none.
std::string last_reply_text(const std::string& replies, int code) {
  const std::string prefix = std::to_string(code) + " ";
  std::string found;
  std::size_t begin = 0;
  while (begin < replies.size()) {
    std::size_t end = replies.find('\n', begin);
    if (end == std::string::npos) end = replies.size();
    std::string_view line(replies.data() + begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.substr(0, prefix.size()) == prefix) found = std::string(line.substr(prefix.size()));
    begin = end + 1;
  }
  while (!found.empty() && found.back() == ' ') found.pop_back();
  return found;
}

std::optional<std::uint64_t> parse_u64_text(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

size_t write_to_sink(char* data, size_t size, size_t count, void* userdata) {
  const size_t n = size * count;
  // A short count makes libcurl abort the transfer with CURLE_WRITE_ERROR.
  return static_cast<FetchSink*>(userdata)->write(data, n) ? n : 0;
}

// One control connection with its own easy handle: libcurl keeps the
// logged-in connection in the handle between transfers, so the login is paid
// once per connection.
class CurlFtpConnection : public FtpConnection {
 public:
  CurlFtpConnection(EasyHandle easy, const FtpAccount& account, const FtpTimeouts& timeouts,
                    const std::atomic<bool>* stop, std::atomic<bool>& mlsd_unsupported,
                    std::atomic<bool>& mlst_unsupported)
      : easy_(std::move(easy)),
        account_(account),
        timeouts_(timeouts),
        stop_(stop),
        mlsd_unsupported_(mlsd_unsupported),
        mlst_unsupported_(mlst_unsupported) {
    if (account_.port == 0) account_.port = 21;
  }

  // False when libcurl refused an option (out of memory or a build without FTP).
  bool configure() {
    CURL* e = easy_.get();
    const FtpTimeouts& t = timeouts_;
    bool ok = true;
    auto set = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };
    set(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp"));
    set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
    // An empty string, not the default: the *_proxy environment variables
    // must not send an FTP task through an HTTP proxy.
    set(curl_easy_setopt(e, CURLOPT_PROXY, ""));
    if (account_.passive || (account_.tls && !active_tls_works())) {
      // EPSV, then PASV. A 227 reply naming another address than the
      // control connection's peer (a private one, behind NAT) is not
      // trusted: the data connection goes to the peer.
      set(curl_easy_setopt(e, CURLOPT_FTPPORT, nullptr));
      set(curl_easy_setopt(e, CURLOPT_FTP_USE_EPSV, 1L));
      set(curl_easy_setopt(e, CURLOPT_FTP_SKIP_PASV_IP, 1L));
    } else {
      // Active mode on the control connection's own address (EPRT, PORT as
      // libcurl's fallback when EPRT is refused).
      set(curl_easy_setopt(e, CURLOPT_FTPPORT, "-"));
    }
    if (account_.tls) {
      // AUTH TLS first and nothing in clear after it, data included: a server
      // that refuses fails the login (never a fallback to plain FTP). The
      // certificate is verified, against tls_ca when given.
      set(curl_easy_setopt(e, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)));
      set(curl_easy_setopt(e, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS)));
      set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L));
      set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L));
      if (!account_.tls_ca.empty()) set(curl_easy_setopt(e, CURLOPT_CAINFO, account_.tls_ca.c_str()));
    }
    watch_.stop = stop_;
    watch_.wait_ms = std::min(kLastReplyWaitMs, t.response_ms);
    set(curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, check_progress));
    set(curl_easy_setopt(e, CURLOPT_XFERINFODATA, &watch_));
    set(curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L));
    // Firewalls and NATs drop a control connection that stays idle through a
    // long transfer, some after a few minutes: probes keep it alive (a NOOP
    // during a transfer is something servers answer out of order or not at
    // all).
    set(curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L));
    set(curl_easy_setopt(e, CURLOPT_TCP_KEEPIDLE, 60L));
    set(curl_easy_setopt(e, CURLOPT_TCP_KEEPINTVL, 30L));
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
    if (account_.user && account_.password) {
      set(curl_easy_setopt(e, CURLOPT_USERNAME, account_.user->c_str()));
      set(curl_easy_setopt(e, CURLOPT_PASSWORD, account_.password->c_str()));
    }
    return ok;
  }

  // Logs in and learns the login directory: NOBODY on the login directory
  // sends USER, PASS and PWD only, and leaves the logged-in connection in the
  // handle for every later transfer.
  bool log_in(FtpStatus& status) {
    CURL* e = easy_.get();
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    const CURLcode rc = perform(ftp_directory_url(account_.host, account_.port, ""), discard,
                                nullptr, status);
    curl_easy_setopt(e, CURLOPT_NOBODY, 0L);
    if (rc != CURLE_OK) return false;
    const char* entry = nullptr;
    if (curl_easy_getinfo(e, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry) {
      login_directory_ = entry;
    }
    if (account_.utf8 == FtpAccount::Utf8::kNever) return true;
    std::string reply;
    FtpStatus ignored;
    if (account_.utf8 == FtpAccount::Utf8::kAlways ||
        (ask({"*FEAT"}, "", reply, ignored) && feat_lists_utf8(reply))) {
      utf8_on_ = true;
      // As a transfer of its own: the next one must not take the connection
      // for a fresh one.
      ask({"*OPTS UTF8 ON"}, "", reply, ignored);
    }
    return true;
  }

  const std::string& login_directory() const override { return login_directory_; }

  bool list(const std::string& dir, FtpListing& listing, FtpStatus& status) override {
    if (has_control_byte(dir)) {
      status = {ftp_errors::kInternalError, 0};
      return false;
    }
    // Always a URL ending in '/' reached by CWD, and a bare MLSD/LIST: vsftpd
    // answers "LIST missing-dir" with an empty 226, indistinguishable from an
    // empty directory, while CWD into it fails with 550.
    const std::string url =
        ftp_directory_url(account_.host, account_.port, resolve_remote_path(login_directory_, dir));
    std::string body;
    CURL* e = easy_.get();
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, tap_received_data);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, &body);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    ListingFormat format = ListingFormat::kList;
    CURLcode rc = CURLE_OK;
    if (!mlsd_unsupported_.load()) {
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "MLSD");
      rc = perform(url, discard, nullptr, status);
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
      if (rc == CURLE_FTP_COULDNT_RETR_FILE && (status.reply == 500 || status.reply == 502)) {
        // vsftpd and other servers without MLSD: asking once per task is
        // enough, for every connection it opens.
        mlsd_unsupported_ = true;
        body.clear();
      } else {
        format = ListingFormat::kMlsd;
      }
    }
    if (mlsd_unsupported_.load()) rc = perform(url, discard, nullptr, status);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 0L);
    binary_ = false;
    if (rc != CURLE_OK) return false;
    if (status.reply >= 400) {
      // libcurl takes a 450 to LIST or MLSD for "no files" and succeeds; the
      // server did refuse the listing, and the files in there exist.
      status.code = ftp_errors::kExtendedError;
      return false;
    }
    listing = parse_listing(body, format);
    return true;
  }

  bool fetch(const std::string& remote_path, std::uint64_t offset,
             std::optional<std::uint64_t> size, FetchSink& sink, FtpStatus& status) override {
    if (has_control_byte(remote_path)) {
      status = {ftp_errors::kInternalError, 0};
      return false;
    }
    CURL* e = easy_.get();
    // With the listing's size at hand the SIZE round trip buys nothing: the
    // caller checks the count. Without it libcurl's SIZE check is all there is.
    // A resume needs it anyway: libcurl sends no REST when told to ignore
    // the size.
    curl_easy_setopt(e, CURLOPT_IGNORE_CONTENT_LENGTH, size && offset == 0 ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
    const std::string url = ftp_file_url(account_.host, account_.port,
                                         resolve_remote_path(login_directory_, remote_path));
    if (size && *size >= offset) watch_.expected = static_cast<curl_off_t>(*size - offset);
    const CURLcode rc = perform(url, write_to_sink, &sink, status);
    curl_easy_setopt(e, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
    const bool gave_up = watch_.gave_up;
    watch_.expected.reset();
    watch_.complete_since.reset();
    watch_.gave_up = false;
    binary_ = rc == CURLE_OK;
    if (rc != CURLE_OK && gave_up) {
      // Every byte came, the final reply did not.
      status = {ftp_errors::kTimeout, 0};
    } else if (rc != CURLE_OK && status.reply < 200) {
      status.reply = 0;  // the 150 that opened the transfer is no answer
    }
    return rc == CURLE_OK;
  }

  bool look(const std::string& remote_path, unsigned wanted, RemoteFacts& facts,
            FtpStatus& status) override {
    facts = RemoteFacts();
    const std::string path = resolve_remote_path(login_directory_, remote_path);
    if (path.empty() || has_control_byte(path)) {
      status = {ftp_errors::kInternalError, 0};
      return false;
    }
    if (!mlsd_unsupported_.load() && !mlst_unsupported_.load()) {
      std::string reply;
      if (ask({"MLST " + path}, path, reply, status)) {
        // "250-Listing PATH", then the facts line, which starts with a blank.
        for (std::size_t at = 0; (at = reply.find("\n ", at)) != std::string::npos;) {
          const std::size_t begin = at + 2;
          std::size_t end = reply.find('\n', begin);
          if (end == std::string::npos) end = reply.size();
          if (end > begin && reply[end - 1] == '\r') --end;
          if (auto entry = parse_mlsd_line(std::string_view(reply).substr(begin, end - begin))) {
            facts.size = entry->size;
            facts.modify = entry->time.modify;
          }
          at = begin;
        }
        if ((wanted & kSize) && !facts.size) {
          status = {ftp_errors::kExtendedError, 0};
          return false;
        }
        return true;
      }
      if (status.reply != 500 && status.reply != 502) return false;
      mlst_unsupported_ = true;  // MLSD without MLST: SIZE and MDTM it is
    }
    std::string reply;
    if (wanted & kSize) {
      // pyftpdlib refuses SIZE in ASCII mode, the mode a fresh connection or a
      // listing leaves behind.
      std::vector<std::string> commands;
      if (!binary_) commands.push_back("TYPE I");
      commands.push_back("SIZE " + path);
      if (!ask(commands, path, reply, status)) return false;
      binary_ = true;
      facts.size = parse_u64_text(last_reply_text(reply, 213));
      if (!facts.size) {
        status = {ftp_errors::kExtendedError, 0};
        return false;
      }
    }
    if (wanted & kTime) {
      if (!ask({"MDTM " + path}, path, reply, status)) {
        // A server without MDTM still told the size that was asked for.
        return (wanted & kSize) && status.code == ftp_errors::kExtendedError &&
               status.reply >= 500;
      }
      const std::string text = last_reply_text(reply, 213);
      if (time_val_seconds(text)) facts.modify = text;
    }
    return true;
  }

  std::string identity(const std::string& dir) override {
    const std::string path = resolve_remote_path(login_directory_, dir);
    if (path.empty() || has_control_byte(path)) return std::string();
    // The '*' keeps a refusal from failing anything.
    std::string reply;
    FtpStatus ignored;
    const std::string home = login_directory_.empty() || login_directory_.back() == '/'
                                 ? login_directory_
                                 : login_directory_ + "/";
    return ask({"*MLST " + path}, home, reply, ignored) ? unique_fact(reply) : std::string();
  }

 private:
  // Sends `commands` one after the other on the logged-in connection and
  // collects the replies (to the header callback). The transfer it rides on
  // transfers nothing, on the URL of the directory `dir` (the one a file path
  // is in, when it names a file): libcurl then needs no CWD after a transfer
  // in that directory.
  bool ask(const std::vector<std::string>& commands, const std::string& dir, std::string& reply,
           FtpStatus& status) {
    reply.clear();
    CURL* e = easy_.get();
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, collect_reply);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &reply);
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    const std::size_t slash = dir.rfind('/');
    const std::string url_dir =
        slash == std::string::npos || slash + 1 == dir.size() ? dir : dir.substr(0, slash + 1);
    const CURLcode rc = perform(ftp_directory_url(account_.host, account_.port, url_dir), discard,
                                nullptr, status, commands);
    curl_easy_setopt(e, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, nullptr);
    return rc == CURLE_OK;
  }

  // One transfer; what it receives goes to writer(..., sink). Each transfer
  // names its own sink, so none can write through a stale pointer. `quote`:
  // commands sent before it (CURLOPT_QUOTE).
  //
  // libcurl logs in again by itself when the connection of the last
  // transfer is gone (it drops it after a transfer cut short). The server
  // then has forgotten "OPTS UTF8 ON": it goes before such a transfer. Where
  // libcurl finds the connection dead only while starting the transfer, the
  // OPTS goes before the next one; this one is made again with it only when
  // it failed before receiving anything (a name refused as it was not read
  // as UTF-8), since a second run would hand its bytes over twice.
  CURLcode perform(const std::string& url, curl_write_callback writer, void* sink,
                   FtpStatus& status, const std::vector<std::string>& quote = {}) {
    CURL* e = easy_.get();
    curl_socket_t socket = CURL_SOCKET_BAD;
    const bool asked_utf8 =
        utf8_on_ && (utf8_due_ || curl_easy_getinfo(e, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
                     socket == CURL_SOCKET_BAD);
    CURLcode rc = perform_once(url, writer, sink, status, quote, asked_utf8);
    if (asked_utf8) utf8_due_ = false;
    long connects = 0;
    if (utf8_on_ && !asked_utf8 &&
        curl_easy_getinfo(e, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK && connects > 0) {
      curl_off_t received = 0;
      if (rc != CURLE_OK && rc != CURLE_ABORTED_BY_CALLBACK &&
          curl_easy_getinfo(e, CURLINFO_SIZE_DOWNLOAD_T, &received) == CURLE_OK && received == 0) {
        rc = perform_once(url, writer, sink, status, quote, true);
      } else {
        utf8_due_ = true;
      }
    }
    return rc;
  }

  CURLcode perform_once(const std::string& url, curl_write_callback writer, void* sink,
                        FtpStatus& status, const std::vector<std::string>& quote, bool utf8) {
    CURL* e = easy_.get();
    SList commands;
    if (utf8) commands.append("*OPTS UTF8 ON");
    for (const std::string& command : quote) commands.append(command);
    if (!commands.ok()) {
      status = {ftp_errors::kInternalError, 0};
      return CURLE_OUT_OF_MEMORY;
    }
    curl_easy_setopt(e, CURLOPT_QUOTE, commands.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, writer);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, sink);
    CURLcode rc = curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) rc = curl_easy_perform(e);
    curl_easy_setopt(e, CURLOPT_QUOTE, nullptr);
    long reply = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply);
    status.reply = static_cast<int>(reply);
    status.code = map_curl_result(rc, reply);
    return rc;
  }

  EasyHandle easy_;
  FtpAccount account_;
  FtpTimeouts timeouts_;
  const std::atomic<bool>* stop_;
  std::string login_directory_;
  std::atomic<bool>& mlsd_unsupported_;  // the client's: one server, one answer
  std::atomic<bool>& mlst_unsupported_;
  Watch watch_;
  // Whether the server is in binary mode: after a fetch, not after a listing
  // nor on a fresh connection (ASCII is every server's first mode).
  bool binary_ = false;
  bool utf8_on_ = false;  // "OPTS UTF8 ON" is due on every connection
  bool utf8_due_ = false;  // and the present one has not had it yet
};

class CurlFtpClient : public FtpClient {
 public:
  explicit CurlFtpClient(const FtpTimeouts& timeouts) : timeouts_(timeouts) {}

  std::unique_ptr<FtpConnection> connect(const FtpAccount& account, FtpStatus& status,
                                         const std::atomic<bool>* stop) override {
    if (account.host.empty()) {
      // libcurl would call "ftp://:21/" a malformed URL; to the user it is a
      // host that cannot be found.
      status = {ftp_errors::kNameNotResolved, 0};
      return nullptr;
    }
    EasyHandle easy(curl_easy_init());
    if (!easy) {
      status = {ftp_errors::kInternalError, 0};
      return nullptr;
    }
    auto connection = std::make_unique<CurlFtpConnection>(std::move(easy), account, timeouts_,
                                                          stop, mlsd_unsupported_,
                                                          mlst_unsupported_);
    if (!connection->configure()) {
      status = {ftp_errors::kInternalError, 0};
      return nullptr;
    }
    if (!connection->log_in(status)) return nullptr;
    return connection;
  }

  bool supports_tls() const override { return true; }

 private:
  FtpTimeouts timeouts_;
  // A task's connections all go to one server: once one of them learned
  // that it has no MLSD, the others do not ask again.
  std::atomic<bool> mlsd_unsupported_{false};
  std::atomic<bool> mlst_unsupported_{false};
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
//   42 ABORTED_BY_CALLBACK (the task's stop flag)     12017 kOperationCancelled
//   64 USE_SSL_FAILED (AUTH TLS refused),
//   35 SSL_CONNECT_ERROR                             12157 kSecureChannelError
//   60 PEER_FAILED_VERIFICATION, 77 CACERT_BADFILE   12045 kInvalidCertificate
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
    case CURLE_ABORTED_BY_CALLBACK:
      return ftp_errors::kOperationCancelled;
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CONNECT_ERROR:
      return ftp_errors::kSecureChannelError;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return ftp_errors::kInvalidCertificate;
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
  // Once per process, before any thread could start a transfer: the call is
  // not thread-safe, a function-local static is.
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!ready) return nullptr;
  return std::make_unique<CurlFtpClient>(timeouts);
}

}  // namespace vandrisk
