#include "config/task_settings.h"

#include <optional>

namespace vandrisk {
namespace {

// Decimal digits only, no sign, no blanks inside: "08" is 8, "1e1" is no number.
bool read_number(const std::string& text, int low, int high, int& value,
                 std::size_t max_length = 5) {
  if (text.empty() || text.size() > max_length) return false;
  int n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < low || n > high) return false;
  value = n;
  return true;
}

bool read_switch(const std::string& text, bool& value) {
  if (text != "0" && text != "1") return false;
  value = text == "1";
  return true;
}

}  // namespace

bool read_settings(const TaskSettings& written, TransferSettings& settings, BadSetting& bad) {
  settings = TransferSettings();
  const auto fail = [&bad](const char* key, const std::optional<std::string>& value) {
    bad = {key, *value};
    return false;
  };
  if (written.parallel && !read_number(*written.parallel, 1, 16, settings.parallel)) {
    return fail("parallel", written.parallel);
  }
  if (written.passive && !read_switch(*written.passive, settings.passive)) {
    return fail("passive", written.passive);
  }
  if (written.retries && !read_number(*written.retries, 0, 10, settings.retries)) {
    return fail("retries", written.retries);
  }
  if (written.tls && !read_switch(*written.tls, settings.tls)) return fail("tls", written.tls);
  if (written.tlsca) {
    if (written.tlsca->empty()) return fail("tlsca", written.tlsca);
    settings.tls_ca = *written.tlsca;
  }
  if (written.min_age && !read_number(*written.min_age, 0, 604800, settings.min_age, 7)) {
    return fail("min_age", written.min_age);
  }
  if (written.charset && (!parse_charset(*written.charset, settings.charset) ||
                          !charset_available(settings.charset))) {
    return fail("charset", written.charset);
  }
  return true;
}

}  // namespace vandrisk
