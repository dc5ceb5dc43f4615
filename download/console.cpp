#include "download/console.h"

#include "messages/messages.h"

namespace vandrisk {
namespace {

// Redraws at most this often: often enough to look alive, rarely enough to
// cost nothing next to the transfer.
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
// The line stays within an 80-column terminal.
constexpr std::size_t kLineWidth = 79;

}  // namespace

void Console::say(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  erase();
  msg::emit(out_, line);
}

void Console::note(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  erase();
  msg::emit(err_, line);
}

void Console::erase() {
  if (drawn_ == 0) return;
  msg::emit(err_, "\r" + std::string(drawn_, ' ') + "\r");
  drawn_ = 0;
}

void Console::draw(Clock::time_point now) {
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - since_).count();
  const std::uint64_t rate = seconds > 0 ? static_cast<std::uint64_t>(moved_ / seconds) : 0;
  std::string line;
  if (transfers_.size() == 1) {
    const Transfer& t = transfers_.begin()->second;
    std::optional<std::uint64_t> left_seconds;
    if (t.size && rate > 0 && *t.size >= t.done) left_seconds = (*t.size - t.done) / rate;
    line = msg::progress_one(t.name, kLineWidth, t.done, t.size, rate, left_seconds);
  } else {
    std::uint64_t done = 0;
    for (const auto& entry : transfers_) done += entry.second.done;
    line = msg::progress_many(static_cast<int>(transfers_.size()), done, rate);
  }
  // Blanks over what a longer line before left on screen.
  const std::size_t width = line.size();
  if (width < drawn_) line.append(drawn_ - width, ' ');
  msg::emit(err_, "\r" + line);
  drawn_ = width;
}

Console::Meter::Meter(Console& console, const std::string& name,
                      std::optional<std::uint64_t> size, std::uint64_t done)
    : console_(console) {
  std::lock_guard<std::mutex> lock(console_.mutex_);
  id_ = console_.next_id_++;
  if (!console_.progress_) return;
  if (console_.transfers_.empty()) {
    console_.since_ = Clock::now();
    console_.moved_ = 0;
    console_.last_draw_ = console_.since_;  // the first line after one interval
  }
  console_.transfers_[id_] = {name, size, done};
}

Console::Meter::~Meter() {
  std::lock_guard<std::mutex> lock(console_.mutex_);
  if (!console_.progress_) return;
  console_.transfers_.erase(id_);
  if (console_.transfers_.empty()) console_.erase();
}

void Console::Meter::add(std::uint64_t bytes) {
  if (!console_.progress_) return;  // fixed at construction: no lock needed
  std::lock_guard<std::mutex> lock(console_.mutex_);
  auto it = console_.transfers_.find(id_);
  if (it == console_.transfers_.end()) return;
  it->second.done += bytes;
  console_.moved_ += bytes;
  const Clock::time_point now = Clock::now();
  if (now - console_.last_draw_ >= kRedrawInterval) console_.draw(now);
}

}  // namespace vandrisk
