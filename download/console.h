// Where a task's words go. Its own lines go to standard output, exact bytes,
// in walk order; notes (a retry) and the progress line go to standard error,
// the progress line only when standard error is a terminal. Every method may
// be called from any of the task's threads.
#ifndef VANDRISK_DOWNLOAD_CONSOLE_H_
#define VANDRISK_DOWNLOAD_CONSOLE_H_

#include <mutex>
#include <ostream>
#include <string_view>

namespace vandrisk {

class Console {
 public:
  Console(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // One of the tool's own lines, on standard output.
  void say(std::string_view line);
  // A note on standard error.
  void note(std::string_view line);

 private:
  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_CONSOLE_H_
