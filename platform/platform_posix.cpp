#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "messages/messages.h"

namespace vandrisk::platform {
namespace {

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Splits an OS path into its directory ("." when there is none) and last name.
void split_os_path(const std::string& os_path, std::string& dir, std::string& name) {
  const std::size_t slash = os_path.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
    name = os_path;
  } else {
    dir = slash == 0 ? "/" : os_path.substr(0, slash);
    name = os_path.substr(slash + 1);
  }
}

// An unnamed O_TMPFILE file in the target directory, linked in under its final
// name on publish. linkat() never replaces an existing name, and after a crash
// or kill -9 the kernel frees the unnamed inode: nothing is left anywhere.
class FdNewFile : public NewLocalFile {
 public:
  FdNewFile(int fd, std::string final_path) : fd_(fd), final_path_(std::move(final_path)) {}
  bool write(const char* data, std::size_t size) override {
    if (!write_all(fd_.get(), data, size)) return failed("write");
    written_ += size;
    if (written_ - flushing_ >= kFlushStep) {
      // Starts writing what came so far without waiting for it, so that the
      // sync before publishing a large file finds little left to do.
      ::sync_file_range(fd_.get(), static_cast<off_t>(flushing_),
                        static_cast<off_t>(written_ - flushing_), SYNC_FILE_RANGE_WRITE);
      flushing_ = written_;
    }
    return true;
  }
  bool restart() override {
    written_ = flushing_ = 0;
    return (::ftruncate(fd_.get(), 0) == 0 && ::lseek(fd_.get(), 0, SEEK_SET) == 0) ||
           failed("restart");
  }

 protected:
  // ext4 and others write a new file's blocks late, and only renames over an
  // existing file get them early.
  bool sync() override { return ::fdatasync(fd_.get()) == 0 || failed("sync"); }

  // Records errno as the cause; always false.
  bool failed(const char* operation) {
    error_ = {operation, errno};
    return false;
  }

  Fd fd_;
  std::string final_path_;

 private:
  static constexpr std::uint64_t kFlushStep = 8 << 20;
  std::uint64_t written_ = 0;
  std::uint64_t flushing_ = 0;  // written out from here on not yet asked for
};

class TmpfileNewFile : public FdNewFile {
 public:
  using FdNewFile::FdNewFile;
  bool name() override {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd_.get());
    return ::linkat(AT_FDCWD, proc_path, AT_FDCWD, final_path_.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
           failed("publish");
  }
};

// Fallback for file systems without O_TMPFILE: a hidden temporary name in the
// same directory, hard-linked to the final name (which fails if it exists) and
// then removed. Only a kill -9 between create and cleanup can leave the
// temporary behind, and it never carries the final name.
class TempNameNewFile : public FdNewFile {
 public:
  TempNameNewFile(int fd, std::string temp_path, std::string final_path)
      : FdNewFile(fd, std::move(final_path)), temp_path_(std::move(temp_path)) {}
  ~TempNameNewFile() override { ::unlink(temp_path_.c_str()); }
  bool name() override {
    return ::link(temp_path_.c_str(), final_path_.c_str()) == 0 || failed("publish");
  }

 private:
  std::string temp_path_;
};

}  // namespace

bool sync_file_system(const std::string& local_path) {
  std::string dir, name;
  split_os_path(to_os_path(local_path), dir, name);
  const Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && ::syncfs(fd.get()) == 0;
}

std::string executable_path() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

void sleep_ms(unsigned ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void wait_for_key(std::ostream& out) {
  if (!::isatty(STDIN_FILENO)) return;
  msg::emit(out, msg::press_any_key());
  termios saved{};
  const bool have_saved = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (have_saved) {
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  char key;
  while (::read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
  if (have_saved) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

bool is_unsafe_local_name(const std::string& name, bool /*utf8: '/' and '\\' are ASCII either way*/) {
  return name.find_first_of("/\\") != std::string::npos;
}

void set_utf8_local_names(bool /*utf8: the kernel takes bytes*/) {}

std::string local_name_key(const std::string& name) { return name; }

std::string to_os_path(const std::string& local_path) {
  std::string os_path = local_path;
  for (char& c : os_path) {
    if (c == '\\') c = '/';
  }
  return os_path;
}

LocalKind local_kind(const std::string& local_path) {
  struct stat st;
  if (::stat(to_os_path(local_path).c_str(), &st) != 0) return LocalKind::kMissing;
  if (S_ISDIR(st.st_mode)) return LocalKind::kDirectory;
  if (S_ISREG(st.st_mode)) return LocalKind::kRegular;
  return LocalKind::kOther;
}

bool make_directory(const std::string& local_path) {
  return ::mkdir(to_os_path(local_path).c_str(), 0777) == 0;
}

std::unique_ptr<NewLocalFile> create_new_file(const std::string& local_path, LocalError* cause,
                                              const std::string& staging_dir) {
  LocalError ignored;
  LocalError& error = cause ? *cause : ignored;
  error = {"create", 0};
  const std::string os_path = to_os_path(local_path);
  std::string dir, name;
  split_os_path(os_path, dir, name);
  if (name.empty()) {
    error.code = EINVAL;
    return nullptr;
  }
  struct stat st;
  if (::lstat(os_path.c_str(), &st) == 0) {  // fail if it exists
    error.code = EEXIST;
    return nullptr;
  }
  if (!staging_dir.empty()) dir = to_os_path(staging_dir);

  Fd tmp(::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (tmp.get() >= 0) {
    error = LocalError();
    return std::make_unique<TmpfileNewFile>(tmp.release(), os_path);
  }
  error.code = errno;
  // EISDIR/EOPNOTSUPP/EINVAL: the file system has no O_TMPFILE. Anything else
  // (missing directory, no permission) fails the same way for a named file.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return nullptr;

  std::string temp = (dir == "/" ? std::string() : dir) + "/.vandrisk-part-XXXXXX";
  Fd named(::mkostemp(temp.data(), O_CLOEXEC));
  if (named.get() < 0) {
    error.code = errno;
    return nullptr;
  }
  error = LocalError();
  return std::make_unique<TempNameNewFile>(named.release(), temp, os_path);
}

namespace {

// See platform.h: no fetched name holds a backslash.
constexpr char kPartialDir[] = ".vandrisk\\partial";
constexpr char kPartSuffix[] = ".part";
constexpr char kJournalSuffix[] = ".journal";
// The longest journal read; a real one is a few hundred bytes.
constexpr std::size_t kMaxJournal = 1 << 20;

struct PartialPaths {
  std::string dir, data, journal, final_path;
};

// The paths of `local_path`'s partial; false for a name that leaves no room
// for the suffixes.
bool partial_paths(const std::string& local_path, PartialPaths& paths) {
  std::string dir, name;
  split_os_path(to_os_path(local_path), dir, name);
  if (name.empty() || name.size() + sizeof kJournalSuffix > NAME_MAX) return false;
  paths.dir = dir + "/" + kPartialDir;
  paths.data = paths.dir + "/" + name + kPartSuffix;
  paths.journal = paths.dir + "/" + name + kJournalSuffix;
  paths.final_path = to_os_path(local_path);
  return true;
}

bool read_small_file(const std::string& path, std::string& text) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxJournal) return false;
  }
}

// The partials this process has open, by directory: a hidden directory is
// made and removed only under this lock, so that one file's publishing never
// removes it while another file's partial is being opened in there.
struct OpenPartials {
  std::mutex mutex;
  std::map<std::string, int> per_dir;
  std::set<std::string> files;
};

OpenPartials& open_partials() {
  static OpenPartials partials;
  return partials;
}

class FdPartialFile : public PartialFile {
 public:
  FdPartialFile(int fd, PartialPaths paths) : fd_(fd), paths_(std::move(paths)) {}
  ~FdPartialFile() override {
    OpenPartials& open = open_partials();
    std::lock_guard<std::mutex> lock(open.mutex);
    open.files.erase(paths_.data);
    // Removed with the last partial in it, unless a failed one stays there
    // for a later run.
    if (--open.per_dir[paths_.dir] == 0) {
      open.per_dir.erase(paths_.dir);
      ::rmdir(paths_.dir.c_str());
    }
  }

  bool write_at(std::uint64_t offset, const char* data, std::size_t size,
                LocalError& error) override {
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_.get(), data, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return failed("write", error);
      data += n;
      size -= static_cast<std::size_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    return true;
  }

  bool read_at(std::uint64_t offset, char* data, std::size_t size, LocalError& error) override {
    while (size > 0) {
      const ssize_t n = ::pread(fd_.get(), data, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failed("read", error);
      if (n == 0) {
        errno = ENODATA;
        return failed("read", error);
      }
      data += n;
      size -= static_cast<std::size_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    return true;
  }

  bool sync(LocalError& error) override {
    return ::fdatasync(fd_.get()) == 0 || failed("sync", error);
  }

  bool clear(LocalError& error) override {
    return ::ftruncate(fd_.get(), 0) == 0 || failed("restart", error);
  }

  bool write_journal(const std::string& text, LocalError& error) override {
    const std::string temp = paths_.journal + ".new";
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0 || !write_all(fd.get(), text.data(), text.size()) || ::fsync(fd.get()) != 0 ||
        ::rename(temp.c_str(), paths_.journal.c_str()) != 0) {
      failed("journal", error);
      ::unlink(temp.c_str());
      return false;
    }
    return true;
  }

  bool publish(LocalError& error) override {
    if (!sync(error)) return false;
    if (::link(paths_.data.c_str(), paths_.final_path.c_str()) != 0) return failed("publish", error);
    ::unlink(paths_.journal.c_str());
    ::unlink(paths_.data.c_str());
    return true;
  }

 private:
  static bool failed(const char* operation, LocalError& error) {
    error = {operation, errno};
    return false;
  }

  Fd fd_;
  PartialPaths paths_;
};

}  // namespace

const int kNameTooLong = ENAMETOOLONG;

std::unique_ptr<PartialFile> open_partial(const std::string& local_path, std::string& journal,
                                          LocalError& error) {
  journal.clear();
  PartialPaths paths;
  if (!partial_paths(local_path, paths)) {
    error = {"create", ENAMETOOLONG};
    return nullptr;
  }
  OpenPartials& open = open_partials();
  std::lock_guard<std::mutex> lock(open.mutex);
  if (open.files.count(paths.data)) {
    error = {"create", EBUSY};  // one file, one partial at a time
    return nullptr;
  }
  if (::mkdir(paths.dir.c_str(), 0777) != 0 && errno != EEXIST) {
    error = {"create", errno};
    return nullptr;
  }
  Fd fd(::open(paths.data.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (fd.get() < 0) {
    error = {"create", errno};
    if (open.per_dir.count(paths.dir) == 0) ::rmdir(paths.dir.c_str());
    return nullptr;
  }
  if (!read_small_file(paths.journal, journal)) journal.clear();
  ++open.per_dir[paths.dir];
  open.files.insert(paths.data);
  return std::make_unique<FdPartialFile>(fd.release(), std::move(paths));
}

std::string read_partial_journal(const std::string& local_path) {
  PartialPaths paths;
  std::string text;
  if (!partial_paths(local_path, paths) || !read_small_file(paths.journal, text)) text.clear();
  return text;
}

std::vector<std::string> partials_in(const std::string& local_dir) {
  std::vector<std::string> names;
  DIR* dir = ::opendir((to_os_path(local_dir) + "/" + kPartialDir).c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    for (const std::string suffix : {kPartSuffix, kJournalSuffix}) {
      if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(),
                                                      suffix) == 0) {
        names.push_back(name.substr(0, name.size() - suffix.size()));
      }
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

void remove_partial(const std::string& local_path) {
  PartialPaths paths;
  if (!partial_paths(local_path, paths)) return;
  OpenPartials& open = open_partials();
  std::lock_guard<std::mutex> lock(open.mutex);
  if (open.files.count(paths.data)) return;  // in use
  ::unlink(paths.data.c_str());
  ::unlink(paths.journal.c_str());
  if (open.per_dir.count(paths.dir) == 0) ::rmdir(paths.dir.c_str());
}

// ---- Code pages of remote names ----
namespace {

// The glibc iconv tables whose contents match the Windows code pages:
//   936   CP936, glibc's GBK table, which like Windows reads 0x80 as the euro
//         sign (Python's gbk codec does not);
//   54936 GB18030;
//   950   CP950, glibc's alias of its only plain Big5 table; BIG5-HKSCS would
//         read Hong Kong characters that Windows 950 lacks;
//   932   CP932 (Windows-31J): 0x5C is '\' and 0x7E '~' as on Windows, and it
//         has the NEC and IBM rows; glibc's SHIFT_JIS reads those two bytes as
//         the yen sign and the overline and has no such rows;
//   949   CP949, glibc's UHC: like Windows 949 it spells all 11,172 hangul
//         syllables, where EUC-KR has only 2,350.
constexpr std::array<std::pair<unsigned, const char*>, 5> kIconvNames = {{
    {936, "CP936"}, {54936, "GB18030"}, {950, "CP950"}, {932, "CP932"}, {949, "CP949"},
}};

// Index of the code page in kIconvNames, or -1.
int code_page_index(unsigned code_page) {
  for (std::size_t i = 0; i < kIconvNames.size(); ++i) {
    if (kIconvNames[i].first == code_page) return static_cast<int>(i);
  }
  return -1;
}

// Owns an iconv_t.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  ~Converter() {
    if (valid()) ::iconv_close(cd_);
  }
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts what fits and resets the shift state, so that a failure leaves
  // nothing behind for the next call. Returns iconv()'s result.
  std::size_t convert(char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) {
    const std::size_t result = ::iconv(cd_, &in, &in_left, &out, &out_left);
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    return result;
  }

 private:
  iconv_t cd_;
};

// "WCHAR_T" is glibc's own UCS-4 form, so each conversion is one step, and an
// output buffer of one wchar_t stops decoding after exactly one character.
static_assert(sizeof(wchar_t) == 4, "glibc's wchar_t holds one code point");

// An iconv_t holds conversion state and must not serve two threads at once.
// Each thread opens its own pair per code page on first use and closes them
// when it ends: no lock, and one iconv_open (which costs as much as a few
// thousand conversions) per thread and code page.
struct ThreadConverters {
  std::array<std::optional<Converter>, kIconvNames.size()> decoders;
  std::array<std::optional<Converter>, kIconvNames.size()> encoders;

  Converter* get(unsigned code_page, bool decoder) {
    const int index = code_page_index(code_page);
    if (index < 0) return nullptr;
    std::optional<Converter>& slot = (decoder ? decoders : encoders)[static_cast<std::size_t>(index)];
    const char* name = kIconvNames[static_cast<std::size_t>(index)].second;
    if (!slot) slot.emplace(decoder ? "WCHAR_T" : name, decoder ? name : "WCHAR_T");
    return slot->valid() ? &*slot : nullptr;
  }
};
thread_local ThreadConverters converters;

}  // namespace

bool code_page_available(unsigned code_page) {
  return converters.get(code_page, true) && converters.get(code_page, false);
}

std::size_t decode_char(std::string_view bytes, unsigned code_page, char32_t& c) {
  Converter* converter = converters.get(code_page, true);
  if (!converter || bytes.empty()) return 0;
  char buffer[4];  // no character of the five is longer
  const std::size_t size = bytes.size() < sizeof buffer ? bytes.size() : sizeof buffer;
  std::memcpy(buffer, bytes.data(), size);
  char* in = buffer;
  std::size_t in_left = size;
  wchar_t wide = 0;
  char* out = reinterpret_cast<char*>(&wide);
  std::size_t out_left = sizeof wide;
  // Stops with E2BIG after the first character, or fails on it (EILSEQ, or
  // EINVAL when it is cut short); only a full buffer means one was read.
  converter->convert(in, in_left, out, out_left);
  if (out_left != 0) return 0;
  c = static_cast<char32_t>(wide);
  return size - in_left;
}

bool encode_char(char32_t c, unsigned code_page, std::string& out) {
  Converter* converter = converters.get(code_page, false);
  if (!converter || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  wchar_t wide = static_cast<wchar_t>(c);
  char* in = reinterpret_cast<char*>(&wide);
  std::size_t in_left = sizeof wide;
  char buffer[8];
  char* next = buffer;
  std::size_t out_left = sizeof buffer;
  // Without //TRANSLIT glibc fails (EILSEQ) on a character the table lacks;
  // a non-zero count would be a conversion it could not reverse. It writes
  // nothing at all for the tag characters U+E0000-U+E007F, which must not
  // vanish from a name either.
  if (converter->convert(in, in_left, next, out_left) != 0 || in_left != 0 || next == buffer) {
    return false;
  }
  out.append(buffer, static_cast<std::size_t>(next - buffer));
  return true;
}

}  // namespace vandrisk::platform
