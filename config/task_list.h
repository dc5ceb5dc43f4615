// Download tasks: the record, the list in file order, the configuration file
// loader and the listing that shows what was loaded.
//
// The configuration file is plain text in the user's own encoding (usually
// GBK); values are stored as bytes, never decoded.
#ifndef VANDRISK_CONFIG_TASK_LIST_H_
#define VANDRISK_CONFIG_TASK_LIST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace vandrisk {

// Settings a group may add to the eight keys of the template; none of them is
// written by --init or shown by the listing. Each holds its value as written
// (trimmed), or nothing when the group has no such line; config/task_settings.h
// reads them.
struct TaskSettings {
  std::optional<std::string> parallel;  // connections at once, 1 to 16
  std::optional<std::string> passive;   // 1: data connections by EPSV/PASV
  std::optional<std::string> retries;   // tries after a transient failure, 0 to 10
  std::optional<std::string> tls;       // 1: FTP over TLS (AUTH TLS)
  std::optional<std::string> tlsca;     // PEM file trusted instead of the system's CAs
  std::optional<std::string> min_age;   // seconds a file must be unchanged, 0 to 604800
  std::optional<std::string> charset;   // how remote names are read: raw, auto, utf-8, gbk...
};

// One download task. Every text field is NUL-terminated within its array (the
// last byte is always NUL); a new record is all zeros (empty texts, port 0).
struct TaskRecord {
  std::unique_ptr<TaskRecord> next;  // the following task, null for the last
  char host[50] = {};
  std::uint16_t port = 0;  // 0: no port= line; the download then uses 21
  char user[50] = {};
  char pwd[50] = {};
  char ftppath[256] = {};
  char localpath[256] = {};
  char head[100] = {};
  char tail[100] = {};
  TaskSettings settings;
};

// The tasks in file order. Owns its records.
class TaskList {
 public:
  TaskList() = default;
  TaskList(const TaskList&) = delete;
  TaskList& operator=(const TaskList&) = delete;
  ~TaskList();  // iterative, so a file of a million tasks cannot blow the stack

  void append(std::unique_ptr<TaskRecord> record);
  const TaskRecord* first() const { return first_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<TaskRecord> first_;
  TaskRecord* last_ = nullptr;  // not owning: the last record of first_'s chain
  std::size_t size_ = 0;
};

// Builds "<directory of exe_path>Vandrisk.cnf" into buffer (size bytes, zeroed
// first): exe_path is cut right after its last '/' or '\' found at index 1 or
// later; without one, the name is appended to the whole path. False when the
// result does not fit.
bool build_config_path(const std::string& exe_path, char* buffer, std::size_t size);

// The default configuration file, next to the running executable. When the
// executable's path is unavailable prints the failure text to out and fails.
bool default_config_path(char* buffer, std::size_t size, std::ostream& out);

// Loads the tasks of the file at path (the default file when path is null) and
// appends them to tasks. Fails without a message of its own when the file
// cannot be opened (a path over 1023 bytes counts as such); the caller reports.
bool load_tasks(const char* path, TaskList& tasks, std::ostream& out);

// Writes the heading and every task, password in clear, to out.
void print_tasks(const TaskList& tasks, std::ostream& out);

// Removes leading and trailing whitespace (space, \t, \n, \v, \f, \r only;
// bytes >= 0x80 never count) in place. Null gives null.
char* trim_in_place(char* text);

// The port= value: leading whitespace, optional sign, decimal digits, clamped
// to the signed 32-bit range, stored as its low 16 bits.
std::uint16_t parse_port(const char* text);

}  // namespace vandrisk

#endif  // VANDRISK_CONFIG_TASK_LIST_H_
