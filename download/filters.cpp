#include "download/filters.h"

#include <cstring>

namespace vandrisk {

bool starts_with(const char* name, const char* head) {
  if (!head || !name) return false;
  return std::strncmp(name, head, std::strlen(head)) == 0;
}

bool ends_with(const char* name, const char* tail) {
  if (!name || !tail) return false;
  const std::size_t name_len = std::strlen(name);
  const std::size_t tail_len = std::strlen(tail);
  return name_len >= tail_len && std::memcmp(name + name_len - tail_len, tail, tail_len) == 0;
}

}  // namespace vandrisk
