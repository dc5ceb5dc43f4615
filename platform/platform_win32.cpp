#include "platform/platform.h"

// windows.h first: the other Windows headers rely on its definitions.
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "messages/messages.h"
#include "platform/win32_files.h"
#include "platform/windows_names.h"

namespace vandrisk::platform {
namespace {

// See set_utf8_local_names(): how path strings are spelled. The wide APIs
// take every path: in the ANSI code page's reading that is what the ANSI
// APIs would store, in UTF-8's any name is stored as itself.
std::atomic<bool> utf8_names{false};

std::wstring wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const UINT code_page = utf8_names.load() ? CP_UTF8 : CP_ACP;
  const int size = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const UINT code_page = utf8_names.load() ? CP_UTF8 : CP_ACP;
  const int size = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::string_view last_component(std::string_view local_path) {
  return last_path_component(local_path, utf8_names.load());
}

// The CRT opens stdout in text mode, which turns every "\n" into "\r\n": the
// messages already end in CR LF and would reach the console as CR CR LF. This
// object switches stdout to binary before main() writes anything; the file
// is always linked, because main() uses its functions.
struct BinaryStdout {
  BinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }
};
const BinaryStdout kBinaryStdout;

// Owns a HANDLE from CreateFile.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { close(); }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool close() {
    if (!valid()) return true;
    const bool ok = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE handle_;
};

// True when the last component of a path that has a directory part is a name
// Windows would store under another name or send to a device ("a:b" is a
// stream of "a", "x." is "x", "nul.txt" is the null device).
bool names_unsafe_entry(const std::string& local_path) {
  const std::string_view name = last_component(local_path);
  return name.size() != local_path.size() && !name.empty() &&
         is_unsafe_windows_name(name, utf8_names.load());
}

// Written to a temporary sibling and renamed on publish. Windows has no
// unnamed files that can be linked in later; after a kill only the temporary
// name (never the final one) can be left behind.
class TempNameNewFile : public NewLocalFile {
 public:
  TempNameNewFile(HANDLE handle, std::string temp_path, std::string final_path)
      : temp_(std::move(temp_path)), handle_(handle), final_path_(std::move(final_path)) {}

  bool write(const char* data, std::size_t size) override {
    while (size > 0) {
      // WriteFile takes a 32-bit count.
      const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(handle_.get(), data, chunk, &written, nullptr) || written == 0) {
        return failed("write");
      }
      data += written;
      size -= written;
    }
    return true;
  }

  bool restart() override {
    LARGE_INTEGER start{};
    return (SetFilePointerEx(handle_.get(), start, nullptr, FILE_BEGIN) &&
            SetEndOfFile(handle_.get())) ||
           failed("restart");
  }

  bool sync() override { return FlushFileBuffers(handle_.get()) || failed("sync"); }

  bool name() override {
    // The rename needs the handle closed: it was opened without
    // FILE_SHARE_DELETE so that nobody else can touch the file meanwhile.
    if (!handle_.close() || !win32::publish_no_replace(temp_.path(), final_path_)) {
      return failed("publish");
    }
    temp_.dismiss();
    return true;
  }

 private:
  // Records GetLastError() as the cause; always false.
  bool failed(const char* operation) {
    error_ = {operation, static_cast<int>(GetLastError())};
    return false;
  }

  // Declared in this order so that the handle is closed before the guard
  // deletes the file: an open file without FILE_SHARE_DELETE cannot go.
  win32::TempFileGuard temp_;
  FileHandle handle_;
  std::string final_path_;
};

}  // namespace

namespace win32 {

std::string temp_sibling_path(const std::string& final_path) {
  static unsigned counter = 0;
  const std::string_view name = last_component(final_path);
  std::string path = final_path.substr(0, final_path.size() - name.size());
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".vandrisk-part-%lu-%u",
                static_cast<unsigned long>(GetCurrentProcessId()), ++counter);
  return path.append(suffix);
}

TempFileGuard::~TempFileGuard() {
  if (!path_.empty()) DeleteFileW(wide(path_).c_str());
}

std::optional<std::uint64_t> file_size(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool publish_no_replace(const std::string& temp, const std::string& final_path) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the name exists,
  // in one step: a file that appeared meanwhile is never overwritten.
  return MoveFileExW(wide(temp).c_str(), wide(final_path).c_str(), 0) != 0;
}

}  // namespace win32

bool sync_file_system(const std::string&) { return false; }  // no syncfs: each file flushes

std::string executable_path() {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    // A full buffer means the path was cut short (and may lack its NUL).
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

void sleep_ms(unsigned ms) { Sleep(ms); }

void wait_for_key(std::ostream& out) {
  // GetConsoleMode fails for a pipe, a file or NUL: a scheduled or scripted
  // run has nobody to press a key.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return;
  msg::emit(out, msg::press_any_key());
  _getch();
}

bool is_unsafe_local_name(const std::string& name, bool utf8) {
  return is_unsafe_windows_name(name, utf8);
}

void set_utf8_local_names(bool utf8) { utf8_names = utf8; }

std::string local_name_key(const std::string& name) {
  std::wstring upper = wide(name);
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  return narrow(upper);
}

bool stderr_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::string to_os_path(const std::string& local_path) { return local_path; }

LocalKind local_kind(const std::string& local_path) {
  if (names_unsafe_entry(local_path)) return LocalKind::kMissing;
  const std::wstring path = wide(local_path);
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LocalKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // The attributes above are the link's own; opening the path follows the
    // link (backup semantics also open directories), as stat() would.
    FileHandle target(CreateFileW(path.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!target.valid() || !GetFileInformationByHandle(target.get(), &info)) return LocalKind::kMissing;
    attributes = info.dwFileAttributes;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return LocalKind::kDirectory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return LocalKind::kOther;
  return LocalKind::kRegular;
}

bool make_directory(const std::string& local_path) {
  if (is_unsafe_windows_name(last_component(local_path), utf8_names.load())) return false;
  return CreateDirectoryW(wide(local_path).c_str(), nullptr) != 0;
}

std::unique_ptr<NewLocalFile> create_new_file(const std::string& local_path, LocalError* cause,
                                              const std::string& staging_dir) {
  LocalError ignored;
  LocalError& error = cause ? *cause : ignored;
  error = {"create", ERROR_INVALID_NAME};
  if (is_unsafe_windows_name(last_component(local_path), utf8_names.load())) return nullptr;
  if (GetFileAttributesW(wide(local_path).c_str()) != INVALID_FILE_ATTRIBUTES) {
    error.code = ERROR_FILE_EXISTS;
    return nullptr;
  }
  // A leftover of a killed run may hold a temporary name: try a few others.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = win32::temp_sibling_path(
        staging_dir.empty() ? local_path : staging_dir + "\\" + std::string(last_component(local_path)));
    const HANDLE handle = CreateFileW(wide(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      error = LocalError();
      return std::make_unique<TempNameNewFile>(handle, std::move(temp), local_path);
    }
    error.code = static_cast<int>(GetLastError());
    if (error.code != ERROR_FILE_EXISTS) return nullptr;
  }
  return nullptr;
}

// ---- Partial files of large downloads ----
namespace {

// See platform.h: no name Windows stores as given ends in a dot, so no
// fetched name can be this one. Only a "\\?\" path reaches it unchanged.
constexpr wchar_t kPartialDir[] = L".vandrisk-partial.";
constexpr wchar_t kPartSuffix[] = L".part";
constexpr wchar_t kJournalSuffix[] = L".journal";
constexpr DWORD kMaxJournal = 1 << 20;

// `path` made absolute and "\\?\"-prefixed, so that Windows leaves its
// trailing dots alone.
std::wstring verbatim_path(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  const DWORD got = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  full.resize(got);
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

struct PartialPaths {
  std::wstring dir, data, journal, final_path;
};

bool partial_paths(const std::string& local_path, PartialPaths& paths) {
  const std::string_view name = last_component(local_path);
  if (name.empty() || name.size() == local_path.size()) return false;
  const std::wstring dir =
      verbatim_path(wide(local_path.substr(0, local_path.size() - name.size())));
  if (dir.empty()) return false;
  paths.dir = dir + (dir.back() == L'\\' ? L"" : L"\\") + kPartialDir;
  const std::wstring wide_name = wide(std::string(name));
  paths.data = paths.dir + L"\\" + wide_name + kPartSuffix;
  paths.journal = paths.dir + L"\\" + wide_name + kJournalSuffix;
  paths.final_path = wide(local_path);
  return true;
}

bool read_small_file(const std::wstring& path, std::string& text) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return false;
    if (got == 0) return true;
    text.append(buffer, got);
    if (text.size() > kMaxJournal) return false;
  }
}

bool win32_failed(const char* operation, LocalError& error) {
  error = {operation, static_cast<int>(GetLastError())};
  return false;
}

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

class HandlePartialFile : public PartialFile {
 public:
  HandlePartialFile(HANDLE handle, PartialPaths paths) : handle_(handle), paths_(std::move(paths)) {}

  // A synchronous handle with an offset in OVERLAPPED: positional, and
  // Windows serialises the calls on the handle.
  bool write_at(std::uint64_t offset, const char* data, std::size_t size,
                LocalError& error) override {
    while (size > 0) {
      const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      OVERLAPPED where = at_offset(offset);
      DWORD written = 0;
      if (!WriteFile(handle_.get(), data, chunk, &written, &where) || written == 0) {
        return win32_failed("write", error);
      }
      data += written;
      size -= written;
      offset += written;
    }
    return true;
  }

  bool read_at(std::uint64_t offset, char* data, std::size_t size, LocalError& error) override {
    while (size > 0) {
      const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      OVERLAPPED where = at_offset(offset);
      DWORD got = 0;
      if (!ReadFile(handle_.get(), data, chunk, &got, &where) || got == 0) {
        return win32_failed("read", error);
      }
      data += got;
      size -= got;
      offset += got;
    }
    return true;
  }

  bool sync(LocalError& error) override {
    return FlushFileBuffers(handle_.get()) || win32_failed("sync", error);
  }

  bool clear(LocalError& error) override {
    LARGE_INTEGER start{};
    return (SetFilePointerEx(handle_.get(), start, nullptr, FILE_BEGIN) &&
            SetEndOfFile(handle_.get())) ||
           win32_failed("restart", error);
  }

  bool write_journal(const std::string& text, LocalError& error) override {
    const std::wstring temp = paths_.journal + L".new";
    bool ok = false;
    {
      FileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
      DWORD written = 0;
      ok = file.valid() &&
           WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size() && FlushFileBuffers(file.get());
    }
    ok = ok && MoveFileExW(temp.c_str(), paths_.journal.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
      win32_failed("journal", error);
      DeleteFileW(temp.c_str());
    }
    return ok;
  }

  bool publish(LocalError& error) override {
    if (!sync(error)) return false;
    // The rename needs the handle closed. Without MOVEFILE_REPLACE_EXISTING
    // it fails when the final name exists.
    if (!handle_.close() || !MoveFileExW(paths_.data.c_str(), paths_.final_path.c_str(), 0)) {
      return win32_failed("publish", error);
    }
    DeleteFileW(paths_.journal.c_str());
    RemoveDirectoryW(paths_.dir.c_str());  // fails, as it should, while others wait in there
    return true;
  }

 private:
  FileHandle handle_;
  PartialPaths paths_;
};

}  // namespace

const int kNameTooLong = ERROR_FILENAME_EXCED_RANGE;

std::unique_ptr<PartialFile> open_partial(const std::string& local_path, std::string& journal,
                                          LocalError& error) {
  journal.clear();
  PartialPaths paths;
  if (is_unsafe_windows_name(last_component(local_path), utf8_names.load()) ||
      !partial_paths(local_path, paths)) {
    error = {"create", ERROR_INVALID_NAME};
    return nullptr;
  }
  // NTFS holds 255 UTF-16 units per name: room for the longest suffix.
  if (paths.journal.size() - paths.dir.size() + 4 > 256) {
    error = {"create", kNameTooLong};
    return nullptr;
  }
  if (CreateDirectoryW(paths.dir.c_str(), nullptr)) {
    SetFileAttributesW(paths.dir.c_str(), FILE_ATTRIBUTE_HIDDEN);
  } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
    win32_failed("create", error);
    return nullptr;
  }
  const HANDLE handle = CreateFileW(paths.data.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    win32_failed("create", error);
    return nullptr;
  }
  if (!read_small_file(paths.journal, journal)) journal.clear();
  return std::make_unique<HandlePartialFile>(handle, std::move(paths));
}

std::string read_partial_journal(const std::string& local_path) {
  PartialPaths paths;
  std::string text;
  if (!partial_paths(local_path, paths) || !read_small_file(paths.journal, text)) text.clear();
  return text;
}

std::vector<std::string> partials_in(const std::string& local_dir) {
  std::vector<std::string> names;
  PartialPaths paths;
  if (!partial_paths(local_dir + "\\x", paths)) return names;
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileW((paths.dir + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    for (const std::wstring suffix : {kPartSuffix, kJournalSuffix}) {
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        names.push_back(narrow(name.substr(0, name.size() - suffix.size())));
      }
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

void remove_partial(const std::string& local_path) {
  PartialPaths paths;
  if (!partial_paths(local_path, paths)) return;
  DeleteFileW(paths.data.c_str());
  DeleteFileW(paths.journal.c_str());
  RemoveDirectoryW(paths.dir.c_str());
}

// ---- Code pages of remote names ----
namespace {

bool is_name_code_page(unsigned code_page) {
  return code_page == 936 || code_page == 54936 || code_page == 950 || code_page == 932 ||
         code_page == 949;
}

bool is_high_surrogate(wchar_t w) { return w >= 0xD800 && w <= 0xDBFF; }
bool is_low_surrogate(wchar_t w) { return w >= 0xDC00 && w <= 0xDFFF; }

}  // namespace

bool code_page_available(unsigned code_page) {
  return is_name_code_page(code_page) && IsValidCodePage(code_page);
}

std::size_t decode_char(std::string_view bytes, unsigned code_page, char32_t& c) {
  if (bytes.empty() || !is_name_code_page(code_page)) return 0;
  const unsigned char lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length = 1;
  if (code_page == 54936) {
    // GB18030 is no double-byte code page, IsDBCSLeadByteEx knows nothing of
    // it: a lead byte starts 2 bytes, or 4 when a digit follows.
    if (lead >= 0x81 && lead <= 0xFE) {
      length = bytes.size() > 1 && bytes[1] >= '0' && bytes[1] <= '9' ? 4 : 2;
    }
  } else if (IsDBCSLeadByteEx(code_page, lead)) {
    length = 2;
  }
  if (length > bytes.size()) return 0;
  // Without MB_ERR_INVALID_CHARS an undefined sequence would come back as
  // U+FFFD or the code page's default character, as if it were one.
  wchar_t wide[2];
  const int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(),
                                    static_cast<int>(length), wide, 2);
  if (n == 1 && !is_high_surrogate(wide[0]) && !is_low_surrogate(wide[0])) {
    c = wide[0];
  } else if (n == 2 && is_high_surrogate(wide[0]) && is_low_surrogate(wide[1])) {
    c = 0x10000 + ((static_cast<char32_t>(wide[0]) - 0xD800) << 10) + (wide[1] - 0xDC00);
  } else {
    return 0;
  }
  return length;
}

bool encode_char(char32_t c, unsigned code_page, std::string& out) {
  if (!is_name_code_page(code_page) || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  wchar_t wide[2];
  int wide_size = 1;
  if (c < 0x10000) {
    wide[0] = static_cast<wchar_t>(c);
  } else {
    wide[0] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    wide[1] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    wide_size = 2;
  }
  char buffer[8];
  int size;
  if (code_page == 54936) {
    // GB18030 spells every scalar value, so no default character can stand
    // in; Windows takes only 0 or WC_ERR_INVALID_CHARS for it.
    size = WideCharToMultiByte(code_page, WC_ERR_INVALID_CHARS, wide, wide_size, buffer,
                               sizeof buffer, nullptr, nullptr);
  } else {
    // Best fit would turn a character the code page lacks into a look-alike
    // ("∞" into "8"); without it Windows writes the default character
    // and says so.
    BOOL used_default = FALSE;
    size = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide, wide_size, buffer,
                               sizeof buffer, nullptr, &used_default);
    if (used_default) return false;
  }
  if (size <= 0) return false;
  out.append(buffer, static_cast<std::size_t>(size));
  return true;
}

}  // namespace vandrisk::platform
