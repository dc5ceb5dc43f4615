// Windows-only helpers for files that get their final name only when complete,
// shared by the Windows platform layer and the WinINet backend. Both are
// compiled only in Windows builds, and so is this header's implementation
// (platform_win32.cpp).
#ifndef VANDRISK_PLATFORM_WIN32_FILES_H_
#define VANDRISK_PLATFORM_WIN32_FILES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace vandrisk::platform::win32 {

// A fresh temporary path next to `final_path` (same directory, so that the
// final rename never crosses volumes): "<dir>\.vandrisk-part-<pid>-<n>". Each
// call returns a new name; nothing is created.
std::string temp_sibling_path(const std::string& final_path);

// Deletes the file at `path` when destroyed, unless dismissed.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard();
  const std::string& path() const { return path_; }
  void dismiss() { path_.clear(); }

 private:
  std::string path_;
};

// Size of the file at `path`; nullopt when it cannot be examined.
std::optional<std::uint64_t> file_size(const std::string& path);

// Gives the file at `temp` the name `final_path`; fails (and leaves both as
// they are) when something already exists there.
bool publish_no_replace(const std::string& temp, const std::string& final_path);

}  // namespace vandrisk::platform::win32

#endif  // VANDRISK_PLATFORM_WIN32_FILES_H_
