#include "download/console.h"

#include "messages/messages.h"

namespace vandrisk {

void Console::say(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  msg::emit(out_, line);
}

void Console::note(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  msg::emit(err_, line);
}

}  // namespace vandrisk
