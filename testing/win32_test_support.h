// Test-only helpers for the Windows unit tests (built and run only in Windows
// builds): a scratch directory and plain file access through the ANSI APIs.
// Header-only: the tests that use it are the only code that needs it.
#ifndef VANDRISK_TESTING_WIN32_TEST_SUPPORT_H_
#define VANDRISK_TESTING_WIN32_TEST_SUPPORT_H_

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vandrisk::win32_testing {

struct FindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};
struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// Null when the call failed (INVALID_HANDLE_VALUE is not null).
using FindHandle = std::unique_ptr<void, FindCloser>;
using FileHandle = std::unique_ptr<void, HandleCloser>;
inline HANDLE or_null(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

// Names in a directory (not "." or ".."), sorted, joined with spaces.
inline std::string list_dir(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  if (FindHandle find{or_null(FindFirstFileA((dir + "\\*").c_str(), &data))}) {
    do {
      const std::string name = data.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find.get(), &data));
  }
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

inline void remove_tree(const std::string& path) {
  WIN32_FIND_DATAA data;
  if (FindHandle find{or_null(FindFirstFileA((path + "\\*").c_str(), &data))}) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(child);
      } else {
        SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(find.get(), &data));
  }
  RemoveDirectoryA(path.c_str());
}

// A fresh directory under the user's temp directory, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    char temp[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathA failed");
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[64];
      std::snprintf(name, sizeof name, "vandrisk-test-%lu-%u",
                    static_cast<unsigned long>(GetCurrentProcessId()), ++counter);
      path_ = std::string(temp) + name;  // GetTempPath ends in '\'
      if (CreateDirectoryA(path_.c_str(), nullptr)) return;
    }
    throw std::runtime_error("cannot create a scratch directory");
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() { remove_tree(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& bytes) {
  FileHandle file{or_null(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr))};
  if (!file) throw std::runtime_error("cannot create " + path);
  DWORD written = 0;
  const BOOL ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  if (!ok || written != bytes.size()) throw std::runtime_error("cannot write " + path);
}

inline std::string read_file(const std::string& path) {
  FileHandle file{or_null(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))};
  if (!file) return "<missing>";
  std::string content;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
  return content;
}

}  // namespace vandrisk::win32_testing

#endif  // VANDRISK_TESTING_WIN32_TEST_SUPPORT_H_
