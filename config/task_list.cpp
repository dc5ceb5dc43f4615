#include "config/task_list.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "messages/messages.h"
#include "platform/platform.h"

namespace vandrisk {
namespace {

constexpr std::size_t kWorkBufferSize = 1024;  // path, then each line read
constexpr char kConfigFileName[] = "Vandrisk.cnf";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a configuration file the way the Windows runtime's text mode hands it
// to fgets(): a CR directly before a LF is dropped, a lone CR stays, and a
// Ctrl-Z (0x1A) byte ends the file. Linux's "r" mode does none of this, and
// configuration files are written on Windows, so the reader does it itself.
class TextModeReader {
 public:
  explicit TextModeReader(std::FILE* file) : file_(file) {}

  // Like fgets(buffer, size): at most size-1 bytes, stopping after a LF; the
  // result is NUL-terminated. False at the end of the text or on a read error.
  bool read_line(char* buffer, std::size_t size) {
    std::size_t n = 0;
    while (n + 1 < size) {
      const int c = next();
      if (c == EOF) break;
      buffer[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    buffer[n] = '\0';
    return n > 0;
  }

 private:
  int raw() {
    if (pos_ == len_) {
      if (ended_) return EOF;
      len_ = std::fread(chunk_, 1, sizeof chunk_, file_);
      pos_ = 0;
      if (len_ == 0) {
        ended_ = true;
        return EOF;
      }
    }
    return static_cast<unsigned char>(chunk_[pos_++]);
  }

  int next() {
    if (ended_ && pos_ == len_ && !have_pending_) return EOF;
    int c;
    if (have_pending_) {
      c = pending_;
      have_pending_ = false;
    } else {
      c = raw();
    }
    if (c == 0x1A) {
      ended_ = true;
      pos_ = len_;
      return EOF;
    }
    if (c == '\r') {
      const int after = raw();
      if (after == '\n') return '\n';
      if (after != EOF) {
        pending_ = after;
        have_pending_ = true;
      }
    }
    return c;
  }

  std::FILE* file_;
  char chunk_[64 * 1024];
  std::size_t pos_ = 0, len_ = 0;
  bool ended_ = false;
  int pending_ = 0;
  bool have_pending_ = false;
};

// Copies at most limit bytes of value into field (like strncpy: the rest of
// the field up to limit is NUL; field[limit] is never touched and stays NUL),
// then trims. The copy comes first, so a value's LF and leading blanks count
// against the limit.
template <std::size_t N>
void set_text_field(char (&field)[N], const char* value) {
  const std::size_t copied = ::strnlen(value, N - 1);
  std::memcpy(field, value, copied);
  std::memset(field + copied, 0, N - copied);
  trim_in_place(field);
}

bool starts_with_key(const char* line, const char* key) {
  return std::strncmp(line, key, std::strlen(key)) == 0;
}

// A setting's whole value, trimmed: it is checked when the task starts, so a
// value too long for any use must not be cut into one that looks valid.
void set_setting(std::optional<std::string>& setting, const char* value) {
  std::string text = value;
  const auto space = [](unsigned char c) { return is_space(c); };
  while (!text.empty() && space(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && space(static_cast<unsigned char>(text[start]))) ++start;
  setting = text.substr(start);
}

// Applies one significant line to the pending record. True when the line was
// the group's tail= line, which completes the record.
bool apply_line(const char* line, TaskRecord& record) {
  if (starts_with_key(line, "host=")) {
    set_text_field(record.host, line + 5);
  } else if (starts_with_key(line, "port=")) {
    record.port = parse_port(line + 5);
  } else if (starts_with_key(line, "user=")) {
    set_text_field(record.user, line + 5);
  } else if (starts_with_key(line, "pwd=")) {
    set_text_field(record.pwd, line + 4);
  } else if (starts_with_key(line, "ftppath=")) {
    set_text_field(record.ftppath, line + 8);
  } else if (starts_with_key(line, "localpath=")) {
    set_text_field(record.localpath, line + 10);
  } else if (starts_with_key(line, "head=")) {
    set_text_field(record.head, line + 5);
  } else if (starts_with_key(line, "tail=")) {
    set_text_field(record.tail, line + 5);
    return true;
  } else if (starts_with_key(line, "parallel=")) {
    set_setting(record.settings.parallel, line + 9);
  } else if (starts_with_key(line, "passive=")) {
    set_setting(record.settings.passive, line + 8);
  } else if (starts_with_key(line, "retries=")) {
    set_setting(record.settings.retries, line + 8);
  } else if (starts_with_key(line, "tls=")) {
    set_setting(record.settings.tls, line + 4);
  } else if (starts_with_key(line, "tlsca=")) {
    set_setting(record.settings.tlsca, line + 6);
  } else if (starts_with_key(line, "min_age=")) {
    set_setting(record.settings.min_age, line + 8);
  } else if (starts_with_key(line, "charset=")) {
    set_setting(record.settings.charset, line + 8);
  }
  return false;
}

}  // namespace

TaskList::~TaskList() {
  std::unique_ptr<TaskRecord> record = std::move(first_);
  while (record) record = std::move(record->next);
}

void TaskList::append(std::unique_ptr<TaskRecord> record) {
  TaskRecord* added = record.get();
  if (last_) {
    last_->next = std::move(record);
  } else {
    first_ = std::move(record);
  }
  last_ = added;
  ++size_;
}

bool build_config_path(const std::string& exe_path, char* buffer, std::size_t size) {
  std::memset(buffer, 0, size);
  std::size_t keep = exe_path.size();
  for (std::size_t i = exe_path.size(); i-- > 1;) {
    if (exe_path[i] == '/' || exe_path[i] == '\\') {
      keep = i + 1;
      break;
    }
  }
  if (keep + sizeof kConfigFileName > size) return false;
  std::memcpy(buffer, exe_path.data(), keep);
  std::memcpy(buffer + keep, kConfigFileName, sizeof kConfigFileName);
  return true;
}

bool default_config_path(char* buffer, std::size_t size, std::ostream& out) {
  const std::string exe = platform::executable_path();
  if (exe.empty()) {
    msg::emit(out, msg::executable_path_failed());
    return false;
  }
  return build_config_path(exe, buffer, size);
}

bool load_tasks(const char* path, TaskList& tasks, std::ostream& out) {
  char buffer[kWorkBufferSize] = {};
  if (path) {
    // A longer path is not cut short: its first 1023 bytes could name another file.
    if (std::strlen(path) >= kWorkBufferSize) return false;
    std::strcpy(buffer, path);
  } else if (!default_config_path(buffer, sizeof buffer, out)) {
    return false;
  }

  File file(std::fopen(platform::to_os_path(buffer).c_str(), "rb"));
  // Linux opens a directory for reading; it is no configuration file.
  if (!file || platform::local_kind(buffer) == platform::LocalKind::kDirectory) return false;

  TextModeReader reader(file.get());
  std::unique_ptr<TaskRecord> pending;
  while (reader.read_line(buffer, sizeof buffer)) {
    if (buffer[0] == '#' || std::strlen(buffer) < 4) continue;
    if (!pending) {
      pending.reset(new (std::nothrow) TaskRecord());
      if (!pending) return false;
    }
    if (apply_line(buffer, *pending)) tasks.append(std::move(pending));
  }
  // A group that never reached its tail= line is dropped (pending goes here).
  return true;
}

void print_tasks(const TaskList& tasks, std::ostream& out) {
  msg::emit(out, msg::task_listing_heading());
  for (const TaskRecord* task = tasks.first(); task; task = task->next.get()) {
    msg::emit(out, msg::task_listing_entry(task->host, task->port, task->user, task->pwd,
                                           task->ftppath, task->localpath, task->head, task->tail));
  }
}

char* trim_in_place(char* text) {
  if (!text) return nullptr;
  std::size_t len = std::strlen(text);
  while (len > 0 && is_space(static_cast<unsigned char>(text[len - 1]))) text[--len] = '\0';
  std::size_t start = 0;
  while (start < len && is_space(static_cast<unsigned char>(text[start]))) ++start;
  if (start > 0) std::memmove(text, text + start, len - start + 1);
  return text;
}

std::uint16_t parse_port(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Accumulate past the 32-bit range only as far as needed to know it clamps.
  std::int64_t magnitude = 0;
  constexpr std::int64_t kOverflow = std::int64_t{1} << 32;
  while (*p >= '0' && *p <= '9') {
    if (magnitude < kOverflow) magnitude = magnitude * 10 + (*p - '0');
    ++p;
  }
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(value)));
}

}  // namespace vandrisk
