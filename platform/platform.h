// The few OS services the tool needs. One header; one implementation per OS
// (platform_posix.cpp, platform_win32.cpp), picked by CMake.
//
// Local paths are built, passed and printed with '\' as the separator; only
// this layer maps them to the OS's form (to_os_path) where they reach the OS.
#ifndef VANDRISK_PLATFORM_PLATFORM_H_
#define VANDRISK_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>
#include <string_view>

namespace vandrisk::platform {

// Full path of the running executable; empty when the OS cannot tell.
std::string executable_path();

// Blocks the calling thread for `ms` milliseconds.
void sleep_ms(unsigned ms);

// When standard input is a terminal: prints the key prompt to `out` and waits
// for one key press (raw, no echo). Otherwise returns at once without a word,
// so a scheduled or scripted run never hangs on a key nobody can press.
void wait_for_key(std::ostream& out);

// True when a local name (of a remote entry) cannot safely be one name in
// the directory being mirrored: it holds a separator (so it would land
// elsewhere) or the OS would not store it under exactly that name. On POSIX
// every '\' byte becomes '/', so '\' and '/' are unsafe byte-wise; Windows
// finds separators as its code page does (or in UTF-8, with `utf8`) and
// also refuses names like "a:b", "x." or "nul".
bool is_unsafe_local_name(const std::string& name, bool utf8 = false);

// Whether standard error is a terminal (a console window on Windows), where a
// progress line redrawn in place makes sense.
bool stderr_is_terminal();

// How local paths and names are spelled: in the bytes of the names (false:
// the ANSI code page on Windows, what they are without charset=) or in
// UTF-8 (true: with charset=, so that Windows stores every name as itself).
// POSIX takes bytes either way. A task sets it before its walk touches the
// disk; the task's threads only read it.
void set_utf8_local_names(bool utf8);

// The form in which two local names are the same for the file system:
// the name itself on POSIX, upper case on Windows.
std::string local_name_key(const std::string& name);

// A '\'-separated local path in the OS's own form.
std::string to_os_path(const std::string& local_path);

// What exists at a local path. The numbers are the ones the console shows in
// its conflict messages (file_type = N).
enum class LocalKind : int {
  kRegular = 0,    // a regular file: a remote file of that name counts as fetched
  kDirectory = 1,  // a directory
  kMissing = 2,    // nothing there (or the path cannot be examined)
  kOther = 3,      // a device, FIFO, socket or other object
};
// What exists at the path (following links, like stat).
LocalKind local_kind(const std::string& local_path);

// Why a local operation failed: what was being done and the OS's own code
// (errno, or GetLastError() on Windows). The console shows neither; they tell
// a full disk from a name that cannot be created.
struct LocalError {
  const char* operation = nullptr;  // "create", "write", "sync", "publish"; null: no failure
  int code = 0;
};

// Creates one directory whose parent exists. False on failure (also when
// something already exists there).
bool make_directory(const std::string& local_path);

// A new local file that gets its final name only when it is complete.
//
// create() opens an unnamed (or hidden temporary) file in the directory of
// `local_path`; write() appends; publish() forces the data to disk and then
// gives it the final name, failing when that name exists (nothing is
// replaced). Destroying an unpublished file
// discards it: no trace is left under the final name, nor a stray file.
class NewLocalFile {
 public:
  virtual ~NewLocalFile() = default;
  virtual bool write(const char* data, std::size_t size) = 0;
  // Empties the file again, for a transfer that must start over.
  virtual bool restart() = 0;
  // `durable`: the caller has made the data durable since the last write
  // (sync_file_system), so only the name is left to give.
  bool publish(bool durable = false) { return (durable || sync()) && name(); }
  // The cause of the last failed write(), restart() or publish().
  const LocalError& error() const { return error_; }

 protected:
  // The data reaches the disk before the name does: after a power cut a name
  // must never stand for a file shorter than what was fetched.
  virtual bool sync() = 0;
  virtual bool name() = 0;

  LocalError error_;
};

// Makes every file written so far on the file system of `local_path`'s
// directory durable at once (syncfs), which costs about what one file's own
// sync does: the way to publish a batch of small files. False where this OS has no such call
// (Windows) or it failed: each file then syncs on its own.
bool sync_file_system(const std::string& local_path);
// nullptr, with the cause in `*error` when given, when the file cannot be
// created there or `local_path` exists.
//
// `staging_dir`, when not empty, is where the file waits unnamed instead of
// local_path's own directory (which need not exist yet): a directory above it
// on the same file system, so that publishing stays one rename or link.
std::unique_ptr<NewLocalFile> create_new_file(const std::string& local_path,
                                              LocalError* error = nullptr,
                                              const std::string& staging_dir = std::string());

// ---- Partial files of large downloads ----
//
// A large download is kept on disk while it comes in, so that a killed run
// can go on with it: its bytes in "NAME.part" and a journal saying which of
// them are there in "NAME.journal", in a hidden directory beside the final
// name whose own name no remote entry can take. On POSIX it is
// ".vandrisk\partial": a name holding a backslash is never fetched. On
// Windows it is ".vandrisk-partial.": Windows stores no name that ends in a
// dot as given, so no fetched name does. Nothing there ever carries a final
// name, and deleting it is always safe.
class PartialFile {
 public:
  virtual ~PartialFile() = default;
  // Positional, and safe from several threads at once.
  virtual bool write_at(std::uint64_t offset, const char* data, std::size_t size,
                        LocalError& error) = 0;
  virtual bool read_at(std::uint64_t offset, char* data, std::size_t size, LocalError& error) = 0;
  // What was written before this call is on disk when it returns true.
  virtual bool sync(LocalError& error) = 0;
  // Empties the data, for a download that starts over.
  virtual bool clear(LocalError& error) = 0;
  // Replaces the journal whole: a new file, synced, then renamed over the
  // old one, so that a crash leaves either the old journal or the new one.
  virtual bool write_journal(const std::string& text, LocalError& error) = 0;
  // Syncs the data and gives it its final name (never over an existing
  // one), then removes the journal and the hidden directory once it is empty.
  virtual bool publish(LocalError& error) = 0;
};

// Opens the partial of `local_path`, making the hidden directory and the data
// file where they are missing; `journal` gets the journal (empty when there
// is none). nullptr with the cause when they cannot be made; the code is
// kNameTooLong for a name too long to get one.
extern const int kNameTooLong;
std::unique_ptr<PartialFile> open_partial(const std::string& local_path, std::string& journal,
                                          LocalError& error);
// The journal of `local_path`'s partial; empty when there is none.
std::string read_partial_journal(const std::string& local_path);
// The final names (bare) that have a partial in `local_dir`: one look at a
// directory that is not there, in the common case.
std::vector<std::string> partials_in(const std::string& local_dir);
// Removes `local_path`'s partial, and the hidden directory once it is empty.
void remove_partial(const std::string& local_path);

// ---- Code pages of remote names ----
// Code pages are named by their Windows numbers on every OS: 936 (GBK),
// 54936 (GB18030), 950 (Big5), 932 (Shift_JIS), 949 (Korean, UHC). The POSIX
// backend reads them with the iconv tables that match those Windows tables:
// both read every assigned character alike, but Windows also reads the
// user-defined ranges (GBK AAA1-AFFE, F8A1-FEFE, ...) as private-use
// characters, and a lone 0x80 in 932 and 949 as U+0080, where glibc reads
// nothing. All three calls are safe to use from several threads at once.
//
// False when the OS cannot read `code_page`, or it is none of the five
// (Wine 8, for one, has no 54936).
bool code_page_available(unsigned code_page);

// Reads the first character of `bytes` in `code_page`: sets `c` and returns
// how many bytes it spans (1 to 4). Returns 0, with `c` unchanged, when
// `bytes` is empty, stops inside a character, starts with a sequence the
// code page leaves undefined, or the code page is none of the five (or the
// OS cannot read it).
std::size_t decode_char(std::string_view bytes, unsigned code_page, char32_t& c);

// Appends `c` in `code_page`'s own bytes to `out`. False, with `out`
// unchanged, when the code page has no such character: never a best-fit
// look-alike or a default '?'. One call for every code page, not only 936,
// so that a decoded character can be checked to spell back to its bytes.
bool encode_char(char32_t c, unsigned code_page, std::string& out);

}  // namespace vandrisk::platform

#endif  // VANDRISK_PLATFORM_PLATFORM_H_
