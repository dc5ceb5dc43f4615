#include "ftp/listing_parser.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace vandrisk {
namespace {

using Kind = EntryKind;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!is_digit(c)) return false;
  }
  return true;
}

// A size the listing printed but that does not fit is treated as not told,
// not as a reason to drop the entry.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (!all_digits(s)) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : s) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// ---- MLSD -----------------------------------------------------------------

std::optional<FtpEntry> parse_mlsd(std::string_view line) {
  // RFC 3659 puts exactly one SP between the facts and the name, and facts
  // hold no SP, so the first SP ends them; the name keeps any later SP or ';'.
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string_view facts = line.substr(0, space);
  const std::string_view name = line.substr(space + 1);
  if (name.empty()) return std::nullopt;

  FtpEntry entry;
  entry.kind = Kind::kOther;
  bool cdir_or_pdir = false;
  bool seen_type = false;
  bool seen_size = false;
  while (!facts.empty()) {
    const std::size_t semi = facts.find(';');
    const std::string_view fact = facts.substr(0, semi);
    facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
    if (fact.empty()) continue;  // some servers double the ';'
    const std::size_t eq = fact.find('=');
    if (eq == std::string_view::npos || eq == 0) return std::nullopt;
    const std::string_view key = fact.substr(0, eq);
    // The value runs to the ';': "type=OS.unix=slink:/x" keeps its second '='.
    const std::string_view value = fact.substr(eq + 1);
    if (iequals(key, "type") && !seen_type) {
      seen_type = true;
      if (iequals(value, "file")) {
        entry.kind = Kind::kFile;
      } else if (iequals(value, "dir")) {
        entry.kind = Kind::kDirectory;
      } else if (iequals(value, "cdir") || iequals(value, "pdir")) {
        cdir_or_pdir = true;
      }
    } else if (iequals(key, "size") && !seen_size) {
      seen_size = true;
      entry.size = parse_u64(value);
    }
  }
  if (cdir_or_pdir) return std::nullopt;
  entry.name = std::string(name);
  return entry;
}

// ---- LIST: shared ---------------------------------------------------------

struct Token {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Walks the blank-separated columns of a line left to right, one pass.
class Columns {
 public:
  explicit Columns(std::string_view line) : line_(line) {}

  bool next(Token& token) {
    while (pos_ < line_.size() && is_blank(line_[pos_])) ++pos_;
    if (pos_ == line_.size()) return false;
    token.begin = pos_;
    while (pos_ < line_.size() && !is_blank(line_[pos_])) ++pos_;
    token.end = pos_;
    return true;
  }

  std::string_view text(const Token& token) const {
    return line_.substr(token.begin, token.end - token.begin);
  }

 private:
  std::string_view line_;
  std::size_t pos_ = 0;
};

// "H:MM" or "HH:MM".
bool is_clock(std::string_view s) {
  if (s.size() != 4 && s.size() != 5) return false;
  const std::size_t colon = s.size() - 3;
  if (s[colon] != ':') return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i != colon && !is_digit(s[i])) return false;
  }
  return s[colon + 1] <= '5';
}

// ---- LIST: Unix ls -l -------------------------------------------------------

bool is_month(std::string_view s) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  if (s.size() != 3) return false;
  for (std::string_view month : kMonths) {
    if (iequals(s, month)) return true;
  }
  return false;
}

bool is_day(std::string_view s) {
  if (s.empty() || s.size() > 2 || !all_digits(s)) return false;
  const int day = s.size() == 1 ? s[0] - '0' : (s[0] - '0') * 10 + (s[1] - '0');
  return day >= 1 && day <= 31;
}

// ls prints the clock for recent files and the year for older ones.
bool is_time_or_year(std::string_view s) { return is_clock(s) || (s.size() == 4 && all_digits(s)); }

// Device files print "major, minor" where others print the size; the minor
// is what stands right before the month, sometimes glued as "4,64".
bool is_size_column(std::string_view s, bool device) {
  if (all_digits(s)) return true;
  if (!device) return false;
  const std::size_t comma = s.find(',');
  if (comma == std::string_view::npos || comma == 0) return false;
  const std::string_view minor = s.substr(comma + 1);
  return all_digits(s.substr(0, comma)) && (minor.empty() || all_digits(minor));
}

// "drwxr-xr-x", optionally followed by one ACL / security-context marker:
// '+' (POSIX ACL), '.' (SELinux), '@' (macOS extended attributes).
bool is_mode(std::string_view s) {
  if (s.size() != 10 && s.size() != 11) return false;
  for (std::size_t i = 1; i < 10; ++i) {
    switch (s[i]) {
      case '-': case 'r': case 'w': case 'x': case 's': case 'S': case 't': case 'T':
      case 'l': case 'L':
        break;
      default:
        return false;
    }
  }
  return s.size() == 10 || s[10] == '+' || s[10] == '.' || s[10] == '@';
}

std::optional<FtpEntry> parse_unix(std::string_view line) {
  Columns columns(line);
  Token mode_token;
  if (!columns.next(mode_token) || mode_token.begin != 0) return std::nullopt;
  const std::string_view mode = columns.text(mode_token);
  if (!is_mode(mode)) return std::nullopt;
  const char type = mode[0];
  const bool device = type == 'c' || type == 'b';

  // Owner and group columns are free text and the group may be missing, so
  // the columns are not counted: the first "size month day time-or-year" run
  // anchors the line. The leftmost run wins because a name may itself look
  // like a date.
  std::array<Token, 4> window{};
  std::size_t seen = 0;
  Token token;
  while (columns.next(token)) {
    window[seen % 4] = token;
    ++seen;
    if (seen < 4) continue;
    const Token& size = window[(seen - 4) % 4];
    const Token& month = window[(seen - 3) % 4];
    const Token& day = window[(seen - 2) % 4];
    const Token& last = window[(seen - 1) % 4];
    if (!is_time_or_year(columns.text(last)) || !is_day(columns.text(day)) ||
        !is_month(columns.text(month)) || !is_size_column(columns.text(size), device)) {
      continue;
    }
    // ls puts one blank between the date and the name, so any further
    // blanks belong to the name.
    const std::size_t name_begin = last.end + 1;
    if (name_begin >= line.size()) return std::nullopt;
    std::string_view name = line.substr(name_begin);

    FtpEntry entry;
    switch (type) {
      case '-': entry.kind = Kind::kFile; break;
      case 'd': entry.kind = Kind::kDirectory; break;
      default: entry.kind = Kind::kOther; break;
    }
    if (type == 'l') {
      const std::size_t arrow = name.find(" -> ");
      if (arrow != std::string_view::npos) name = name.substr(0, arrow);
      if (name.empty()) return std::nullopt;
    }
    if (!device) entry.size = parse_u64(columns.text(size));
    entry.name = std::string(name);
    return entry;
  }
  return std::nullopt;
}

// ---- LIST: DOS / IIS --------------------------------------------------------

// "12-01-20", "12-01-2020", "2020-12-01", also with '/' or '.'.
bool is_dos_date(std::string_view s) {
  std::array<std::size_t, 3> lengths{};
  std::size_t part = 0;
  char separator = 0;
  for (char c : s) {
    if (is_digit(c)) {
      ++lengths[part];
      continue;
    }
    if (c != '-' && c != '/' && c != '.') return false;
    if (separator != 0 && c != separator) return false;
    separator = c;
    if (++part == lengths.size()) return false;
  }
  if (part != 2) return false;
  const bool year_first = lengths[0] == 4 && lengths[1] >= 1 && lengths[1] <= 2 &&
                          lengths[2] >= 1 && lengths[2] <= 2;
  const bool year_last = lengths[0] >= 1 && lengths[0] <= 2 && lengths[1] >= 1 &&
                         lengths[1] <= 2 && (lengths[2] == 2 || lengths[2] == 4);
  return year_first || year_last;
}

bool is_meridiem(std::string_view s) { return iequals(s, "AM") || iequals(s, "PM"); }

// "10:00AM", "10:00PM" or 24-hour "13:05".
bool is_dos_time(std::string_view s) {
  if (s.size() > 2 && is_meridiem(s.substr(s.size() - 2))) s.remove_suffix(2);
  return is_clock(s);
}

// Sizes are plain digits from IIS; "dir"-style servers group them as 1,234.
// Returns false when the column is no size at all; `size` stays empty when it
// is one but does not fit.
bool parse_dos_size(std::string_view s, std::optional<std::uint64_t>& size) {
  if (s.empty() || !is_digit(s.front()) || !is_digit(s.back())) return false;
  std::string digits;
  digits.reserve(s.size());
  for (char c : s) {
    if (is_digit(c)) {
      digits.push_back(c);
    } else if (c != ',') {
      return false;
    }
  }
  size = parse_u64(digits);
  return true;
}

std::optional<FtpEntry> parse_dos(std::string_view line) {
  Columns columns(line);
  Token token;
  if (!columns.next(token) || token.begin != 0 || !is_dos_date(columns.text(token))) {
    return std::nullopt;
  }
  if (!columns.next(token) || !is_dos_time(columns.text(token))) return std::nullopt;
  if (!columns.next(token)) return std::nullopt;
  if (is_meridiem(columns.text(token)) && !columns.next(token)) return std::nullopt;

  const std::string_view marker = columns.text(token);
  FtpEntry entry;
  std::size_t name_begin = token.end + 1;
  if (marker.size() > 2 && marker.front() == '<' && marker.back() == '>') {
    entry.kind = iequals(marker, "<DIR>") ? Kind::kDirectory : Kind::kOther;
    // IIS pads "<DIR>" out to the width of the size column, ten blanks after
    // it; blanks past those belong to the name. Other servers pad less.
    constexpr std::size_t kIisDirPadding = 10;
    std::size_t blanks = 0;
    while (blanks < kIisDirPadding && token.end + blanks < line.size() &&
           is_blank(line[token.end + blanks])) {
      ++blanks;
    }
    name_begin = token.end + blanks;
  } else {
    if (!parse_dos_size(marker, entry.size)) return std::nullopt;
    entry.kind = Kind::kFile;
  }
  if (name_begin >= line.size()) return std::nullopt;
  entry.name = std::string(line.substr(name_begin));
  return entry;
}

}  // namespace

std::optional<FtpEntry> parse_mlsd_line(std::string_view line) { return parse_mlsd(line); }

std::optional<FtpEntry> parse_list_line(std::string_view line) {
  if (line.empty()) return std::nullopt;
  if (is_digit(line.front())) return parse_dos(line);
  return parse_unix(line);
}

std::vector<FtpEntry> parse_listing(std::string_view body, ListingFormat format) {
  std::vector<FtpEntry> entries;
  std::size_t begin = 0;
  while (begin < body.size()) {
    std::size_t end = body.find('\n', begin);
    const std::size_t next = end == std::string_view::npos ? body.size() : end + 1;
    if (end == std::string_view::npos) end = body.size();
    std::string_view line = body.substr(begin, end - begin);
    // A last line cut off before its LF still had its CR sent as line end.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    begin = next;
    if (line.empty()) continue;
    std::optional<FtpEntry> entry =
        format == ListingFormat::kMlsd ? parse_mlsd_line(line) : parse_list_line(line);
    if (entry) entries.push_back(std::move(*entry));
  }
  return entries;
}

}  // namespace vandrisk
