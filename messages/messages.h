// Every text the tool prints or writes lives here.
//
// The source of messages.cpp is readable UTF-8 Chinese; it is compiled with
// -fexec-charset=GBK, so every function below returns code page 936 bytes,
// line ends included, exactly as the console and the template file receive them.
// Arguments (paths, hosts, names) are inserted as raw bytes, never re-encoded.
#ifndef VANDRISK_MESSAGES_MESSAGES_H_
#define VANDRISK_MESSAGES_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vandrisk::msg {

// Writes text to out and flushes, so progress shows line by line even when
// stdout is a pipe and a run is cut short.
void emit(std::ostream& out, std::string_view text);

// Informational options.
const std::vector<std::string>& help_lines();
std::string init_succeeded();
std::string init_failed();

// Configuration.
std::string executable_path_failed();  // ends in a bare LF
std::string load_failed();
std::string task_listing_heading();
std::string task_listing_entry(const char* host, unsigned port, const char* user,
                               const char* pwd, const char* ftppath, const char* localpath,
                               const char* head, const char* tail);
// The 17 lines of the configuration template, CR LF included.
std::vector<std::string> template_lines();

// Task runner.
std::string task_started(const char* host, unsigned port, const char* ftppath);
std::string task_failed();
std::string task_succeeded(int count);
std::string failed_task_count(int failed);
std::string total_downloaded(int total);
std::string press_any_key();

// Download walk.
std::string session_open_failed();
std::string connect_failed();
std::string listing_start_failed(const char* remote_dir, unsigned long error);
std::string listing_broken(unsigned long error);
std::string file_conflict(const char* remote_path, int file_type);
std::string file_download_failed(const char* remote_path);
std::string file_downloaded(const char* remote_path);
std::string directory_conflict(const char* local_path, int file_type);
std::string directory_create_failed(const char* local_path);
std::string directory_created(const char* local_path);
std::string unsafe_name_skipped(const char* remote_path);
std::string loop_skipped(const char* remote_path);
std::string unrecognized_listing_line(const char* line);
std::string changing_file_skipped(const char* remote_path);
std::string duplicate_name_skipped(const char* remote_path);
std::string unsendable_name_skipped(const char* remote_path);
std::string min_age_needs_time(int min_age, const char* remote_path);

// A task's optional settings and FTP over TLS.
std::string bad_setting(const char* key, const char* value);
std::string tls_unsupported();
std::string tls_ca_unreadable(const char* path);
std::string tls_refused();
std::string tls_certificate_failed();

// Notes on standard error (never on standard output): a retry after a
// transient failure, `attempt` of `attempts`.
std::string retry_connect(unsigned long error, unsigned seconds, int attempt, int attempts);
std::string retry_listing(const char* remote_dir, unsigned long error, unsigned seconds,
                          int attempt, int attempts);
std::string retry_fetch(const char* remote_path, unsigned long error, unsigned seconds,
                        int attempt, int attempts);

// The progress line on a terminal's standard error (no line end: it is
// redrawn in place). One transfer: its name (shortened from the left to keep
// the line within `width` bytes), bytes so far, of how many when known, the
// rate and, when known, the seconds left. Several: their count, bytes, rate.
std::string progress_one(const std::string& name, std::size_t width, std::uint64_t done,
                         std::optional<std::uint64_t> size, std::uint64_t bytes_per_second,
                         std::optional<std::uint64_t> seconds_left);
std::string progress_many(int transfers, std::uint64_t done, std::uint64_t bytes_per_second);

}  // namespace vandrisk::msg

#endif  // VANDRISK_MESSAGES_MESSAGES_H_
