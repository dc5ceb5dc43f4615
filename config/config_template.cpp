#include "config/config_template.h"

#include <cstdio>
#include <memory>

#include "config/task_list.h"
#include "messages/messages.h"
#include "platform/platform.h"

namespace vandrisk {

bool write_template_to(const char* path) {
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(platform::to_os_path(path).c_str(), "wb"));
  if (!file) return false;
  bool written = true;
  for (const std::string& line : msg::template_lines()) {
    written = std::fwrite(line.data(), 1, line.size(), file.get()) == line.size() && written;
  }
  // A full disk shows only when the buffered bytes are flushed: report it
  // rather than claim a template that is cut short.
  return std::fclose(file.release()) == 0 && written;
}

bool write_template(std::ostream& out) {
  char path[512];
  if (!default_config_path(path, sizeof path, out)) return false;
  return write_template_to(path);
}

}  // namespace vandrisk
