// Helpers shared by the unit tests of both builds: scratch directories, files,
// encodings and task records.
//
// Paths given to the file helpers are in the OS's own form; ScratchDir gives
// both forms of its paths (on Windows they are the same).
#ifndef VANDRISK_TESTING_TEST_SUPPORT_H_
#define VANDRISK_TESTING_TEST_SUPPORT_H_

#include <string>

#include "config/task_list.h"

namespace vandrisk::test {

// A fresh directory under the system's temp dir, removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();
  const std::string& path() const { return path_; }  // OS form
  // The same path written with '\' as the tool's local paths are.
  std::string local() const;
  // A name (or relative path written with '/') below the directory, in OS form.
  std::string os(const std::string& relative) const;
  // A name (or relative path written with '\') below the directory, as the tool writes it.
  std::string local(const std::string& relative) const { return local() + "\\" + relative; }

 private:
  std::string path_;
};

void write_file(const std::string& os_path, const std::string& bytes);
std::string read_file(const std::string& os_path);  // "<missing>" when it cannot be read
bool exists(const std::string& os_path);
void make_dir(const std::string& os_path);
// Names in a directory (not "." or ".."), sorted, joined with blanks.
std::string list_dir(const std::string& os_path);

// UTF-8 text converted to code page 936, independent of the compiler's
// -fexec-charset conversion that produces the tool's texts.
std::string gbk(const std::string& utf8);

// This machine's clock `offset_s` seconds from now as an MLSD time-val (UTC).
std::string utc_time_val(long offset_s);

// An anonymous task of a server on 127.0.0.1:2121.
TaskRecord make_task(const std::string& ftppath, const std::string& localpath,
                     const std::string& head = "", const std::string& tail = "");

}  // namespace vandrisk::test

#endif  // VANDRISK_TESTING_TEST_SUPPORT_H_
