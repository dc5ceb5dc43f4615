// Configuration loader under arbitrary file contents: load_tasks() reads the
// bytes as a configuration file, print_tasks() formats whatever it loaded.
// Beyond "no crash", checks what the loader promises about every record:
// each text field stays NUL-terminated within its array and trimmed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <streambuf>
#include <string>

#include "config/task_list.h"

namespace {

// Discards everything, but only after the stream has formatted it.
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <std::size_t N>
void check_field(const char (&field)[N]) {
  const std::size_t len = ::strnlen(field, N);
  if (len == N) std::abort();  // not terminated within the array
  if (len > 0 && (is_space(static_cast<unsigned char>(field[0])) ||
                  is_space(static_cast<unsigned char>(field[len - 1])))) {
    std::abort();  // not trimmed
  }
}

// The loader opens a path, so the bytes go to an in-memory file reachable by
// name: no disk traffic, nothing left behind by a crashing input.
int config_fd() {
  static const int fd = [] {
    const int created = ::memfd_create("fuzz-config", 0);
    if (created < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    return created;
  }();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = config_fd();
  if (::ftruncate(fd, 0) != 0) std::abort();
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = ::pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (n <= 0) std::abort();
    written += static_cast<std::size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  NullBuffer null_buffer;
  std::ostream null_stream(&null_buffer);
  vandrisk::TaskList tasks;
  if (!vandrisk::load_tasks(path.c_str(), tasks, null_stream)) std::abort();  // the file exists
  std::size_t counted = 0;
  for (const vandrisk::TaskRecord* t = tasks.first(); t; t = t->next.get()) {
    check_field(t->host);
    check_field(t->user);
    check_field(t->pwd);
    check_field(t->ftppath);
    check_field(t->localpath);
    check_field(t->head);
    check_field(t->tail);
    ++counted;
  }
  if (counted != tasks.size()) std::abort();
  vandrisk::print_tasks(tasks, null_stream);
  return 0;
}
