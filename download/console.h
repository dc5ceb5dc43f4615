// Where a task's words go. Its own lines go to standard output, exact bytes,
// in walk order; notes (a retry) and the progress line go to standard error,
// the progress line only when standard error is a terminal. Every method may
// be called from any of the task's threads.
#ifndef VANDRISK_DOWNLOAD_CONSOLE_H_
#define VANDRISK_DOWNLOAD_CONSOLE_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace vandrisk {

class Console {
 public:
  // `progress`: draw the progress line on `err` (only for a terminal).
  Console(std::ostream& out, std::ostream& err, bool progress = false)
      : out_(out), err_(err), progress_(progress) {}
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // One of the tool's own lines, on standard output. The progress line is
  // erased first, so the screen keeps only the tool's lines.
  void say(std::string_view line);
  // A note on standard error.
  void note(std::string_view line);

  // One transfer, shown on the progress line while it lives: which file,
  // bytes so far, the rate and, where the size is known, the time left.
  class Meter {
   public:
    Meter(Console& console, const std::string& name, std::optional<std::uint64_t> size,
          std::uint64_t done);
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;
    ~Meter();
    void add(std::uint64_t bytes);

   private:
    Console& console_;
    int id_;
  };

 private:
  using Clock = std::chrono::steady_clock;
  struct Transfer {
    std::string name;
    std::optional<std::uint64_t> size;
    std::uint64_t done = 0;
  };

  // With mutex_ held.
  void draw(Clock::time_point now);
  void erase();

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  const bool progress_;
  std::map<int, Transfer> transfers_;
  int next_id_ = 0;
  Clock::time_point since_;       // when the current run of transfers began
  std::uint64_t moved_ = 0;       // bytes since then
  Clock::time_point last_draw_;
  std::size_t drawn_ = 0;         // bytes of the line on screen, 0: none
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_CONSOLE_H_
