#include "testing/test_support.h"

#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace vandrisk::test {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';

void remove_tree(const std::string& path) {
  WIN32_FIND_DATAA data;
  const HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
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
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}
#else
constexpr char kSeparator = '/';
#endif

void copy_text(char* field, std::size_t size, const std::string& text) {
  std::snprintf(field, size, "%s", text.c_str());
}

}  // namespace

#ifdef _WIN32
ScratchDir::ScratchDir() {
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

ScratchDir::~ScratchDir() { remove_tree(path_); }
#else
ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vandrisk-test-XXXXXX";
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

ScratchDir::~ScratchDir() {
  const std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}
#endif

std::string ScratchDir::local() const {
  std::string local = path_;
  std::replace(local.begin(), local.end(), '/', '\\');
  return local;
}

std::string ScratchDir::os(const std::string& relative) const {
  std::string os_relative = relative;
  std::replace(os_relative.begin(), os_relative.end(), '/', kSeparator);
  return path_ + kSeparator + os_relative;
}

void write_file(const std::string& os_path, const std::string& bytes) {
  std::ofstream out(os_path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + os_path);
}

std::string read_file(const std::string& os_path) {
  std::ifstream in(os_path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

#ifdef _WIN32
bool exists(const std::string& os_path) {
  return GetFileAttributesA(os_path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_dir(const std::string& os_path) {
  if (!CreateDirectoryA(os_path.c_str(), nullptr)) throw std::runtime_error("cannot create " + os_path);
}

std::string list_dir(const std::string& os_path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  const HANDLE find = FindFirstFileA((os_path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

std::string gbk(const std::string& utf8) {
  const int wide_size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                            static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), wide_size);
  const int size = WideCharToMultiByte(936, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(936, 0, wide.data(), wide_size, out.data(), size, nullptr, nullptr);
  if (!utf8.empty() && out.empty()) throw std::runtime_error("not convertible to GBK: " + utf8);
  return out;
}
#else
bool exists(const std::string& os_path) {
  struct stat st;
  return ::lstat(os_path.c_str(), &st) == 0;
}

void make_dir(const std::string& os_path) {
  if (::mkdir(os_path.c_str(), 0755) != 0) throw std::runtime_error("cannot create " + os_path);
}

std::string list_dir(const std::string& os_path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(os_path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

std::string gbk(const std::string& utf8) {
  iconv_t cd = ::iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv has no GBK");
  std::string out(utf8.size() * 2 + 16, '\0');
  char* in_ptr = const_cast<char*>(utf8.data());
  std::size_t in_left = utf8.size();
  char* out_ptr = out.data();
  std::size_t out_left = out.size();
  const std::size_t rc = ::iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
  ::iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) throw std::runtime_error("not convertible to GBK: " + utf8);
  out.resize(out.size() - out_left);
  return out;
}
#endif

std::string utc_time_val(long offset_s) {
  const std::time_t when = std::time(nullptr) + offset_s;
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", std::gmtime(&when));
  return text;
}

TaskRecord make_task(const std::string& ftppath, const std::string& localpath,
                     const std::string& head, const std::string& tail) {
  TaskRecord task;
  copy_text(task.host, sizeof task.host, "127.0.0.1");
  task.port = 2121;
  copy_text(task.ftppath, sizeof task.ftppath, ftppath);
  copy_text(task.localpath, sizeof task.localpath, localpath);
  copy_text(task.head, sizeof task.head, head);
  copy_text(task.tail, sizeof task.tail, tail);
  return task;
}

}  // namespace vandrisk::test
