#include "platform/windows_names.h"

#include <cstddef>

namespace vandrisk::platform {
namespace {

// Code page 936 lead bytes. The ANSI file APIs decode the name with the
// system code page before they look at it, so the byte after a lead byte is
// half of a character, never a separator or wildcard.
bool is_gbk_lead_byte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool is_gbk_trail_byte(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

// True when text[i] starts a double-byte character. A lead byte followed by a
// byte that is no trail byte is taken as a lone byte: the check then looks at
// the next byte on its own, which errs on the side of refusing.
bool starts_double_byte(std::string_view text, std::size_t i) {
  return i + 1 < text.size() && is_gbk_lead_byte(static_cast<unsigned char>(text[i])) &&
         is_gbk_trail_byte(static_cast<unsigned char>(text[i + 1]));
}

bool is_forbidden_byte(unsigned char c) {
  if (c < 0x20) return true;
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return true;
    default:
      return false;
  }
}

char upper_ascii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_upper(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (upper_ascii(text[i]) != upper[i]) return false;
  }
  return true;
}

// Windows maps these names to devices in every directory. It looks only at
// the part before the first dot, with trailing blanks ignored.
bool is_device_name(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equals_upper(base, device)) return true;
  }
  if (base.size() == 4 && base[3] >= '0' && base[3] <= '9') {
    const std::string_view stem = base.substr(0, 3);
    return equals_upper(stem, "COM") || equals_upper(stem, "LPT");
  }
  return false;
}

}  // namespace

bool is_unsafe_windows_name(std::string_view name, bool utf8) {
  if (name.empty()) return true;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (!utf8 && starts_double_byte(name, i)) {
      ++i;
      continue;
    }
    if (is_forbidden_byte(static_cast<unsigned char>(name[i]))) return true;
  }
  if (name.back() == ' ' || name.back() == '.') return true;
  return is_device_name(name);
}

std::string_view last_path_component(std::string_view local_path, bool utf8) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < local_path.size(); ++i) {
    if (!utf8 && starts_double_byte(local_path, i)) {
      ++i;
    } else if (local_path[i] == '\\' || local_path[i] == '/') {
      start = i + 1;
    }
  }
  return local_path.substr(start);
}

}  // namespace vandrisk::platform
