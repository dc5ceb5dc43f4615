// Helpers shared by the unit tests: scratch directories, files and encodings.
#ifndef VANDRISK_TESTING_TEST_SUPPORT_H_
#define VANDRISK_TESTING_TEST_SUPPORT_H_

#include <string>

namespace vandrisk::testing {

// A fresh directory under the system's temp dir, removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();
  const std::string& path() const { return path_; }  // OS form ('/')
  // The same path written with '\' as the tool's local paths are.
  std::string local() const;

 private:
  std::string path_;
};

void write_file(const std::string& os_path, const std::string& bytes);
std::string read_file(const std::string& os_path);
bool exists(const std::string& os_path);
// Names in a directory (not "." or ".."), sorted.
std::string list_dir(const std::string& os_path);

// UTF-8 text converted to code page 936 with iconv, independent of the
// compiler's -fexec-charset conversion that produces the tool's texts.
std::string gbk(const std::string& utf8);

}  // namespace vandrisk::testing

#endif  // VANDRISK_TESTING_TEST_SUPPORT_H_
