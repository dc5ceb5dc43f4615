// Listing parsers under arbitrary server output: the whole body in both
// formats, and the body as one line through each line parser. Beyond "no
// crash", checks what the walk relies on: every entry has a non-empty name
// that was in the input and holds no LF (lines are split there).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/listing_parser.h"

namespace {

void check_name(const vandrisk::FtpEntry& entry, std::string_view input) {
  if (entry.name.empty()) std::abort();
  if (input.find(entry.name) == std::string_view::npos) std::abort();
}

void check_listing(std::string_view body, vandrisk::ListingFormat format) {
  const std::vector<vandrisk::FtpEntry> entries = vandrisk::parse_listing(body, format).entries;
  std::size_t lines = 0;
  for (char c : body) lines += c == '\n';
  if (!body.empty() && body.back() != '\n') ++lines;
  if (entries.size() > lines) std::abort();
  // Entries come in line order, so each name is found at or after the
  // previous one: one pass over the body, however many entries there are.
  std::size_t from = 0;
  for (const vandrisk::FtpEntry& entry : entries) {
    if (entry.name.empty() || entry.name.find('\n') != std::string::npos) std::abort();
    const std::size_t at = body.find(entry.name, from);
    if (at == std::string_view::npos) std::abort();
    from = at + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_listing(input, vandrisk::ListingFormat::kMlsd);
  check_listing(input, vandrisk::ListingFormat::kList);
  if (const std::optional<vandrisk::FtpEntry> e = vandrisk::parse_mlsd_line(input)) {
    check_name(*e, input);
  }
  if (const std::optional<vandrisk::FtpEntry> e = vandrisk::parse_list_line(input)) {
    check_name(*e, input);
  }
  return 0;
}
