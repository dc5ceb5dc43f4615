#include "ftp/listing_parser.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
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

// One MLSD line. The listed directory's own line (type=cdir) gives no entry
// but its "unique" fact, into *cdir_unique when asked for.
std::optional<FtpEntry> parse_mlsd(std::string_view line, std::string* cdir_unique) {
  // RFC 3659 puts exactly one SP between the facts and the name, and facts
  // hold no SP, so the first SP ends them; the name keeps any later SP or ';'.
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string_view facts = line.substr(0, space);
  const std::string_view name = line.substr(space + 1);
  if (name.empty()) return std::nullopt;

  FtpEntry entry;
  entry.kind = Kind::kOther;
  bool cdir = false;
  bool pdir = false;
  bool seen_type = false;
  bool seen_size = false;
  bool seen_unique = false;
  bool seen_modify = false;
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
      } else if (iequals(value, "cdir")) {
        cdir = true;
      } else if (iequals(value, "pdir")) {
        pdir = true;
      }
    } else if (iequals(key, "size") && !seen_size) {
      seen_size = true;
      entry.size = parse_u64(value);
    } else if (iequals(key, "modify") && !seen_modify) {
      seen_modify = true;
      entry.time.modify = std::string(value);
    } else if (iequals(key, "unique") && !seen_unique) {
      // Opaque, but the same for the same directory however it is reached:
      // what tells a link back to a parent from a directory of its own.
      seen_unique = true;
      entry.unique = std::string(value);
    }
  }
  if (cdir && cdir_unique) *cdir_unique = entry.unique;
  if (cdir || pdir) return std::nullopt;
  entry.name = std::string(name);
  return entry;
}

// ---- LIST: shared ---------------------------------------------------------

bool is_high(char c) { return static_cast<unsigned char>(c) >= 0x80; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::size_t leading_digits(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && is_digit(s[n])) ++n;
  return n;
}

// Value of a digit run the caller has already limited to a few digits.
int small_number(std::string_view digits) {
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

// 1 to max_digits digits whose value lies in [low, high].
bool is_number_in(std::string_view s, std::size_t max_digits, int low, int high) {
  if (s.empty() || s.size() > max_digits || !all_digits(s)) return false;
  const int value = small_number(s);
  return value >= low && value <= high;
}

// "H:MM" or "HH:MM", with ":SS" and a fraction after it from ls --full-time.
// Some servers write midnight as 24:00.
bool is_clock(std::string_view s) {
  const std::size_t h = leading_digits(s);
  if (h < 1 || h > 2 || s.size() < h + 3 || s[h] != ':') return false;
  const std::string_view mm = s.substr(h + 1, 2);
  if (!all_digits(mm)) return false;
  const int hour = small_number(s.substr(0, h));
  const int minute = small_number(mm);
  if (minute > 59 || hour > 24 || (hour == 24 && minute != 0)) return false;
  std::string_view rest = s.substr(h + 3);
  if (rest.empty()) return true;
  if (rest.size() < 3 || rest[0] != ':' || !is_number_in(rest.substr(1, 2), 2, 0, 60)) return false;
  rest.remove_prefix(3);
  return rest.empty() || (rest.size() > 1 && rest[0] == '.' && all_digits(rest.substr(1)));
}

bool is_meridiem(std::string_view s) { return iequals(s, "AM") || iequals(s, "PM"); }

// Walks the blank-separated columns of a line left to right, one pass.
class Columns {
 public:
  Columns(std::string_view line, std::size_t from) : line_(line), pos_(from) {}

  bool next(std::size_t& begin, std::size_t& end) {
    while (pos_ < line_.size() && blank_at(pos_)) pos_ += blank_at(pos_);
    if (pos_ == line_.size()) return false;
    begin = pos_;
    while (pos_ < line_.size() && !blank_at(pos_)) ++pos_;
    end = pos_;
    return true;
  }

 private:
  // The length of the blank at `at`, 0 for none. Czech dates hold a
  // no-break space (UTF-8 C2 A0) between day and month: "7.\u00a0pro".
  std::size_t blank_at(std::size_t at) const {
    if (is_blank(line_[at])) return 1;
    return line_[at] == '\xC2' && at + 1 < line_.size() && line_[at + 1] == '\xA0' ? 2 : 0;
  }

 public:

 private:
  std::string_view line_;
  std::size_t pos_;
};

FtpEntry unrecognized(std::string_view line) {
  FtpEntry entry;
  entry.name = std::string(line);
  entry.kind = Kind::kUnrecognized;
  return entry;
}

// ---- LIST: Unix ls -l -------------------------------------------------------
//
// Servers agree on little more than "mode ... size date name": the link count,
// owner and group may be missing, hold blanks or run into their neighbours,
// and the date comes in whatever shape the server's locale or ls options gave
// it. So columns are not counted. Each column is classified once, and the
// leftmost run of columns that reads as a date, right after a column that
// reads as a size, anchors the line; the name is all that follows.

// Month names and abbreviations, lower case, without a trailing '.', of the
// languages servers have been seen to list in (English, German, French,
// Spanish, Italian, Portuguese, Catalan, Dutch, Scandinavian, Finnish,
// Estonian, Hungarian, Polish, Czech, Turkish, Romanian, Lithuanian,
// Russian; UTF-8
// where not ASCII), with the month each names. A non-ASCII word missing here
// can still be a month (kOtherWord below), of unknown number.
struct MonthName {
  std::string_view name;
  int month;
};
constexpr MonthName kMonthNames[] = {
    {"jan", 1}, {"jaan", 1}, {"january", 1}, {"januar", 1}, {"jänner", 1}, {"jän", 1}, {"janv", 1},
    {"janvier", 1}, {"ene", 1}, {"enero", 1}, {"gen", 1}, {"gennaio", 1}, {"tammi", 1}, {"sty", 1},
    {"led", 1}, {"oca", 1}, {"ian", 1}, {"sau", 1}, {"янв", 1},
    {"feb", 2}, {"veebr", 2}, {"february", 2}, {"februar", 2}, {"févr", 2}, {"fevr", 2}, {"fév", 2}, {"fev", 2},
    {"février", 2}, {"fevrier", 2}, {"febrero", 2}, {"febbraio", 2}, {"fevereiro", 2}, {"febr", 2},
    {"helmi", 2}, {"lut", 2}, {"úno", 2}, {"şub", 2}, {"vas", 2}, {"фев", 2},
    {"mar", 3}, {"märts", 3}, {"march", 3}, {"mär", 3}, {"märz", 3}, {"mrz", 3}, {"maerz", 3}, {"mars", 3},
    {"marzo", 3}, {"março", 3}, {"març", 3}, {"mrt", 3}, {"maalis", 3}, {"márc", 3}, {"bře", 3},
    {"kov", 3}, {"мар", 3},
    {"apr", 4}, {"april", 4}, {"avr", 4}, {"avril", 4}, {"abr", 4}, {"abril", 4}, {"aprile", 4},
    {"huhti", 4}, {"ápr", 4}, {"kwi", 4}, {"dub", 4}, {"nis", 4}, {"bal", 4}, {"апр", 4},
    {"may", 5}, {"mai", 5}, {"mayo", 5}, {"mag", 5}, {"maggio", 5}, {"maio", 5}, {"maig", 5},
    {"mei", 5}, {"maj", 5}, {"touko", 5}, {"máj", 5}, {"kvě", 5}, {"geg", 5}, {"май", 5},
    {"мая", 5},
    {"jun", 6}, {"juuni", 6}, {"june", 6}, {"juni", 6}, {"juin", 6}, {"junio", 6}, {"giu", 6}, {"giugno", 6},
    {"junho", 6}, {"juny", 6}, {"kesä", 6}, {"jún", 6}, {"cze", 6}, {"čer", 6}, {"haz", 6},
    {"iun", 6}, {"bir", 6}, {"июн", 6},
    {"jul", 7}, {"juuli", 7}, {"july", 7}, {"juli", 7}, {"juil", 7}, {"juillet", 7}, {"julio", 7}, {"lug", 7},
    {"luglio", 7}, {"julho", 7}, {"heinä", 7}, {"júl", 7}, {"lip", 7}, {"čvc", 7}, {"tem", 7},
    {"iul", 7}, {"lie", 7}, {"июл", 7},
    {"aug", 8}, {"august", 8}, {"août", 8}, {"aout", 8}, {"ago", 8}, {"agosto", 8}, {"elo", 8},
    {"sie", 8}, {"srp", 8}, {"ağu", 8}, {"rgp", 8}, {"авг", 8},
    {"sep", 9}, {"sept", 9}, {"september", 9}, {"septembre", 9}, {"septiembre", 9},
    {"setiembre", 9}, {"set", 9}, {"settembre", 9}, {"syys", 9}, {"szept", 9}, {"wrz", 9},
    {"zář", 9}, {"eyl", 9}, {"rgs", 9}, {"сен", 9},
    {"oct", 10}, {"october", 10}, {"okt", 10}, {"oktober", 10}, {"octobre", 10}, {"octubre", 10},
    {"ott", 10}, {"ottobre", 10}, {"out", 10}, {"outubro", 10}, {"loka", 10}, {"paź", 10},
    {"paz", 10}, {"říj", 10}, {"eki", 10}, {"spa", 10}, {"окт", 10},
    {"nov", 11}, {"november", 11}, {"novembre", 11}, {"noviembre", 11}, {"marras", 11}, {"lis", 11},
    {"kas", 11}, {"noi", 11}, {"lap", 11}, {"ноя", 11},
    {"dec", 12}, {"dets", 12}, {"december", 12}, {"dez", 12}, {"dezember", 12}, {"déc", 12}, {"décembre", 12},
    {"decembre", 12}, {"dic", 12}, {"diciembre", 12}, {"dicembre", 12}, {"dezembro", 12},
    {"des", 12}, {"joulu", 12}, {"gru", 12}, {"pro", 12}, {"ara", 12}, {"grd", 12}, {"дек", 12},
};
constexpr std::size_t kLongestMonthName = 12;
// Longest word (in bytes) taken for a month of a language not listed above.
constexpr std::size_t kLongestOtherWord = 24;

// A word of up to 16 bytes, ASCII letters in lower case, as two integers, so
// that a lookup costs a few integer compares.
using WordKey = std::pair<std::uint64_t, std::uint64_t>;

WordKey word_key(std::string_view word) {
  std::array<std::uint64_t, 2> halves{};
  for (std::size_t i = 0; i < word.size(); ++i) {
    const auto byte = static_cast<unsigned char>(ascii_lower(word[i]));
    halves[i / 8] |= std::uint64_t{byte} << (8 * (i % 8));
  }
  return {halves[0], halves[1]};
}

// The month a word names (1 to 12), 0 when it is no month name listed here.
int month_of_name(std::string_view word) {
  static_assert(kLongestMonthName <= 16, "month keys hold 16 bytes");
  if (word.size() < 3 || word.size() > kLongestMonthName) return 0;
  static const std::vector<std::pair<WordKey, int>> sorted = [] {
    std::vector<std::pair<WordKey, int>> keys;
    for (const MonthName& name : kMonthNames) keys.emplace_back(word_key(name.name), name.month);
    std::sort(keys.begin(), keys.end());
    return keys;
  }();
  const WordKey key = word_key(word);
  const auto it = std::lower_bound(sorted.begin(), sorted.end(), std::make_pair(key, 0));
  return it != sorted.end() && it->first == key ? it->second : 0;
}

bool is_month_name(std::string_view word) { return month_of_name(word) != 0; }

// What a column can stand for. A column may be several things at once ("3"
// is a day, a month number and a size); the date forms below decide.
//
// letters, maybe with a trailing '.' or ',': perhaps a month name
constexpr unsigned kWord = 1u << 0;
// a kWord with non-ASCII letters: perhaps a month of a language not listed
constexpr unsigned kOtherWord = 1u << 1;
// "3月", "4\x8c\x8e": 1..12 and a non-ASCII suffix, as CJK locales write it
constexpr unsigned kSuffixedMonth = 1u << 2;
constexpr unsigned kMonthNumber = 1u << 3;  // "3"
constexpr unsigned kDay = 1u << 4;          // "2", "02", "26.", "08,", "2日"
// "08,": a year follows, maybe then a clock ("Oct 08, 2002 09:47")
constexpr unsigned kDayThenYear = 1u << 5;
constexpr unsigned kYear = 1u << 6;    // "2003", "2003年"
constexpr unsigned kClock = 1u << 7;   // "15:13", "0:23", "24:00", "11:22:33.25"
// "2005-04-08", "1999/10/12", "24-04-2003", "2004.07.15", "01-jun-99"
constexpr unsigned kDate = 1u << 8;
constexpr unsigned kMonthAndDay = 1u << 9;  // "09-26": a year or a clock follows
constexpr unsigned kZone = 1u << 10;        // "+0200" after an ls --full-time clock
constexpr unsigned kSize = 1u << 11;        // digits: the size
constexpr unsigned kSizeLike = 1u << 12;    // where a size goes, but no exact one: "33.5k"
constexpr unsigned kMonthName = 1u << 13;   // a kWord among kMonthNames: "Jan", "okt.", "Juli,"
constexpr unsigned kLookedUp = 1u << 14;    // a kWord whose kMonthName bit is known
constexpr unsigned kSizeColumn = kSize | kSizeLike;
// What a dateless line must not show (nor a month name).
constexpr unsigned kDatePart = kSuffixedMonth | kClock | kDate | kMonthAndDay;

// A date written as one column. Either order of day and month is taken, as
// long as one of the two can be the month.
unsigned classify_date(std::string_view s) {
  // "7.12.": day and month, each with its dot, as Finnish writes them.
  if (s.size() >= 4 && s.back() == '.' && s.find('.') < s.size() - 1) {
    const std::string_view day_month = s.substr(0, s.size() - 1);
    const std::size_t dot = day_month.find('.');
    if (day_month.find('.', dot + 1) == std::string_view::npos &&
        is_number_in(day_month.substr(0, dot), 2, 1, 31) &&
        is_number_in(day_month.substr(dot + 1), 2, 1, 12)) {
      return kMonthAndDay;
    }
  }
  std::array<std::string_view, 3> parts;
  std::size_t count = 0;
  char separator = 0;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size()) {
      const char c = s[i];
      if (c != '-' && c != '/' && c != '.') continue;
      if (separator != 0 && c != separator) return 0;
      separator = c;
    }
    if (count == parts.size() || i == begin) return 0;
    parts[count++] = s.substr(begin, i - begin);
    begin = i + 1;
  }
  const auto day_month = [](std::string_view a, std::string_view b) {
    return is_number_in(a, 2, 1, 31) && is_number_in(b, 2, 1, 31) &&
           (is_number_in(a, 2, 1, 12) || is_number_in(b, 2, 1, 12));
  };
  if (count == 2) {
    // "33.5" is a scaled size, never a date.
    return separator != '.' && day_month(parts[0], parts[1]) ? kMonthAndDay : 0;
  }
  if (count != 3) return 0;
  if (parts[0].size() == 4) {
    const bool ymd = all_digits(parts[0]) && is_number_in(parts[1], 2, 1, 12) &&
                     is_number_in(parts[2], 2, 1, 31);
    return ymd ? kDate : 0;
  }
  const bool year_last = all_digits(parts[2]) && (parts[2].size() == 2 || parts[2].size() == 4);
  if (!year_last || !is_number_in(parts[0], 2, 1, 31)) return 0;
  if (day_month(parts[0], parts[1]) || is_month_name(parts[1])) return kDate;
  return 0;
}

// "33.5k", "2M", "1.2GB": a size some servers round to a unit.
bool is_scaled_size(std::string_view s) {
  std::size_t i = leading_digits(s);
  if (i == 0) return false;
  if (i < s.size() && s[i] == '.') {
    const std::size_t fraction = leading_digits(s.substr(i + 1));
    if (fraction == 0) return false;
    i += 1 + fraction;
  }
  switch (i < s.size() ? s[i] : '\0') {
    case 'k': case 'K': case 'm': case 'M': case 'g': case 'G': case 't': case 'T': case 'p':
    case 'P':
      ++i;
      break;
    default:
      return false;
  }
  if (i < s.size() && (s[i] == 'b' || s[i] == 'B')) ++i;
  return i == s.size();
}

unsigned classify(std::string_view s) {
  const std::size_t digits = leading_digits(s);
  if (digits == s.size()) {
    unsigned traits = kSize;
    if (digits <= 2) {
      const int value = small_number(s);
      if (value >= 1 && value <= 12) traits |= kMonthNumber;
      if (value >= 1 && value <= 31) traits |= kDay;
    } else if (digits == 4) {
      traits |= kYear;
    }
    return traits;
  }
  if (digits > 0) {
    const std::string_view rest = s.substr(digits);
    const int value = digits <= 4 ? small_number(s.substr(0, digits)) : 0;
    if (is_high(rest[0])) {
      // "3月 2日 2003年" in whatever encoding the server's locale uses.
      unsigned traits = 0;
      if (digits <= 2 && value >= 1 && value <= 12) traits |= kSuffixedMonth;
      if (digits <= 2 && value >= 1 && value <= 31) traits |= kDay;
      if (digits == 4) traits |= kYear;
      return traits;
    }
    unsigned traits = 0;
    if (digits <= 2 && value >= 1 && value <= 31 && (rest == "." || rest == ",")) {
      traits |= kDay | (rest == "," ? kDayThenYear : 0);  // "26. Juli", "Oct 08, 2002"
    }
    if (rest[0] == ',' && (rest.size() == 1 || all_digits(rest.substr(1)))) {
      traits |= kSizeLike;  // "major,minor" of a device, or "major," before the minor
    }
    if (rest[0] == ':') return is_clock(s) ? kClock : 0;
    // "00.43": the clock of locales that write it with a dot (Czech,
    // Hungarian, Italian, Swedish). Exactly two digits of minutes: "33.5"
    // is a scaled size.
    if (rest.size() == 3 && rest[0] == '.' && digits <= 2 && all_digits(rest.substr(1)) &&
        value <= 23 && small_number(rest.substr(1)) <= 59) {
      traits |= kClock;
    }
    traits |= classify_date(s);
    if (is_scaled_size(s)) traits |= kSizeLike;
    return traits;
  }
  if (s.size() == 5 && (s[0] == '+' || s[0] == '-') && all_digits(s.substr(1))) return kZone;
  // Group and size run together when the group fills its column.
  if (is_digit(s.back())) return kSizeLike;
  std::string_view word = s;
  while (!word.empty() && (word.back() == '.' || word.back() == ',')) word.remove_suffix(1);
  bool any_high = false;
  bool inner_dot = false;  // "ธ.ค.": Thai abbreviates months with dots inside
  for (char c : word) {
    if (is_high(c)) {
      any_high = true;
    } else if (c == '.') {
      inner_dot = true;
    } else if (!is_ascii_letter(c)) {
      return 0;
    }
  }
  if (word.empty() || (inner_dot && !any_high)) return 0;
  return kWord | (any_high && word.size() <= kLongestOtherWord ? kOtherWord : 0u);
}

struct Column {
  std::size_t begin;
  std::size_t end;
  unsigned traits;
};

// No server puts its date this far right; the name's own columns need not
// be looked at, and a line of a million blanks and digits costs no more.
constexpr std::size_t kMaxColumns = 40;

// The columns of a line, read and classified only as far as they are asked
// for: the date is usually found long before the name's columns.
class ColumnList {
 public:
  ColumnList(std::string_view line, std::size_t from) : line_(line), columns_(line, from) {}

  // False when the line has no column i (or it lies past kMaxColumns).
  bool reach(std::size_t i) {
    while (count_ <= i && count_ < kMaxColumns) {
      std::size_t begin = 0;
      std::size_t end = 0;
      if (!columns_.next(begin, end)) return false;
      // Column 0 is the mode, checked on its own.
      const unsigned traits = count_ == 0 ? 0 : classify(line_.substr(begin, end - begin));
      at_[count_++] = Column{begin, end, traits};
    }
    return i < count_;
  }
  // Column i, if read, has one of `traits`.
  bool has(std::size_t i, unsigned traits) const {
    return i < count_ && (at_[i].traits & traits) != 0;
  }
  // Column i is a month name of a listed language. Looked up only once the
  // columns around it fit a date, so owner and group names cost no lookup.
  bool month_name(std::size_t i) {
    if (!has(i, kWord)) return false;
    unsigned& traits = at_[i].traits;
    if ((traits & kLookedUp) == 0) {
      std::string_view word = text(i);
      while (word.back() == '.' || word.back() == ',') word.remove_suffix(1);
      traits |= kLookedUp | (is_month_name(word) ? kMonthName : 0u);
    }
    return (traits & kMonthName) != 0;
  }
  std::string_view text(std::size_t i) const {
    return line_.substr(at_[i].begin, at_[i].end - at_[i].begin);
  }
  const Column& operator[](std::size_t i) const { return at_[i]; }

 private:
  std::string_view line_;
  Columns columns_;
  std::array<Column, kMaxColumns> at_;  // the first count_ are read
  std::size_t count_ = 0;
};

// How a date's columns are laid out, as date_length found them.
enum class DateForm {
  kDateColumn,       // "2005-04-08", "24-04-2003", "01-jun-99" [clock [zone]]
  kMonthDayColumn,   // "09-26" clock|year
  kYearMonthDay,     // "2003 3月 20" [clock]
  kMonthDay,         // "Jan 5" clock|year, "3月 2日" clock|year
  kMonthDayYear,     // "Oct 08, 2002" [clock]
  kDayMonth,         // "26. Juli" clock|year, "01 oct 2004"
  kNumbers,          // "3 29 03:26": month, day, clock
};

// The number of columns of a date starting at column i, or 0, and its form;
// the caller has read the columns up to i + 3. `padded` tells that the
// blanks after the date are padding, not part of the name.
//
// The first pass (lenient false) takes month names it knows and dates with
// separators; only when no such date is on the line does the second take a
// non-ASCII word for a month and "3 29 03:26" for month, day and time, forms
// that columns before the date can fake.
std::size_t date_length(ColumnList& c, std::size_t i, bool lenient, bool& padded, DateForm& form) {
  padded = false;
  const unsigned month_traits = kSuffixedMonth | (lenient ? kOtherWord : 0u);
  const auto month = [&](std::size_t k) { return c.has(k, month_traits) || c.month_name(k); };
  if (lenient) {
    form = DateForm::kNumbers;
    if (c.has(i, kMonthNumber) && c.has(i + 1, kDay) && c.has(i + 2, kClock)) return 3;
  } else {
    if (c.has(i, kDate)) {
      form = DateForm::kDateColumn;
      if (c.has(i + 1, kClock)) return c.has(i + 2, kZone) ? 3 : 2;
      // A date alone: the server pads where others print the clock.
      padded = true;
      return 1;
    }
    form = DateForm::kMonthDayColumn;
    if (c.has(i, kMonthAndDay) && c.has(i + 1, kClock | kYear)) return 2;
    // "2003 3月 20", Y M D as Asian locales order it; "2019 márc   2" as
    // Hungarian does for old files. With a month name and a clock after the
    // day, "2019" is more likely the size before "Mar 2 10:00".
    form = DateForm::kYearMonthDay;
    if (c.has(i, kYear) && c.has(i + 2, kDay)) {
      if (c.has(i + 1, kSuffixedMonth)) return c.has(i + 3, kClock) ? 4 : 3;
      if (c.month_name(i + 1) && !c.has(i + 3, kClock | kYear)) return 3;
    }
  }
  if (c.has(i + 1, kDay) && month(i)) {
    if (c.has(i + 1, kDayThenYear)) {
      form = DateForm::kMonthDayYear;
      if (c.has(i + 2, kYear)) return c.has(i + 3, kClock) ? 4 : 3;
    } else if (c.has(i + 2, kClock | kYear)) {
      form = DateForm::kMonthDay;
      return 3;
    }
  }
  form = DateForm::kDayMonth;
  if (c.has(i, kDay) && c.has(i + 2, kClock | kYear) && month(i + 1)) return 3;
  // "2. 3.  2019": day, month and year, Finnish style.
  if (!lenient && c.has(i, kDay) && c.has(i + 1, kDay) && c.has(i + 2, kYear) &&
      c.text(i).back() == '.' && c.text(i + 1).back() == '.' &&
      is_number_in(c.text(i + 1).substr(0, c.text(i + 1).size() - 1), 2, 1, 12)) {
    return 3;
  }
  return 0;
}

// ---- LIST: reading the date -------------------------------------------------
//
// Only as far as telling a file's age needs: what a form leaves open (which
// of two small numbers is the month, a month word of an unknown language)
// leaves the month at 0, and the entry then counts as recent.

// The leading number of a column ("2日" is 2, "2003年" 2003); -1 for none.
int leading_number(std::string_view s) {
  const std::size_t n = leading_digits(s);
  return n == 0 || n > 4 ? -1 : small_number(s.substr(0, n));
}

// A two-digit year as ls and IIS write it.
int full_year(int year, std::size_t digits) {
  if (digits != 2) return year;
  return year < 70 ? 2000 + year : 1900 + year;
}

// The month of a column: a name of a listed language or a CJK "3月"; 0 when
// it cannot be told.
int month_of_column(std::string_view s) {
  const int number = leading_number(s);
  if (number >= 1 && number <= 12) return number;
  while (!s.empty() && (s.back() == '.' || s.back() == ',')) s.remove_suffix(1);
  return month_of_name(s);
}

// "15:13", "0:23", "24:00", "11:22:33.25", "10:00PM", "00.43" into the entry's clock.
void read_clock(std::string_view s, EntryTime& time) {
  const std::size_t h = leading_digits(s);
  int hour = small_number(s.substr(0, h));
  const int minute = small_number(s.substr(h + 1, 2));
  if (s.size() >= 2 && is_meridiem(s.substr(s.size() - 2))) {
    const bool pm = ascii_lower(s[s.size() - 2]) == 'p';
    hour = hour % 12 + (pm ? 12 : 0);
  }
  if (hour >= 24) {  // "24:00": the day's last minute will do
    hour = 23;
    time.minute = 59;
  } else {
    time.minute = minute;
  }
  time.hour = hour;
}

// Which of two small numbers is the month, where the dialect says: IIS
// writes MM-DD-YY, dotted dates put the day first.
enum class Order { kUnknown, kMonthFirst, kDayFirst };

// Day and month from two numbers that may stand in either order. When both
// orders make a date and the dialect does not say, the month stays 0.
void read_day_month(int first, int second, Order order, EntryTime& time) {
  const bool day_first = first > 12 || (second <= 12 && order == Order::kDayFirst);
  const bool month_first = second > 12 || (first <= 12 && order == Order::kMonthFirst);
  if (first == second || (day_first && !month_first)) {
    if (first > 31 || second > 12) return;
    time.month = second;
    time.day = first;
  } else if (month_first && !day_first) {
    if (first > 12 || second > 31) return;
    time.month = first;
    time.day = second;
  }
}

// A date written as one column: "2005-04-08", "1999/10/12", "24-04-2003",
// "2004.07.15", "7.12.", "01-jun-99", and the DOS forms "12-01-20",
// "2020-12-01". `order` says how to read two small numbers when nothing
// else does; a dotted date puts the day first.
EntryTime read_date_column(std::string_view s, Order order) {
  EntryTime time;
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  if (s.find('.') != std::string_view::npos) order = Order::kDayFirst;
  std::array<std::string_view, 3> parts;
  std::size_t count = 0;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= s.size() && count < parts.size(); ++i) {
    if (i < s.size() && s[i] != '-' && s[i] != '/' && s[i] != '.') continue;
    parts[count++] = s.substr(begin, i - begin);
    begin = i + 1;
  }
  if (count == 2) {
    read_day_month(leading_number(parts[0]), leading_number(parts[1]), order, time);
    return time;
  }
  if (count != 3) return time;
  if (parts[0].size() == 4) {
    time.year = leading_number(parts[0]);
    time.month = leading_number(parts[1]);
    time.day = leading_number(parts[2]);
    return time;
  }
  time.year = full_year(leading_number(parts[2]), parts[2].size());
  if (!all_digits(parts[1])) {
    time.month = month_of_name(parts[1]);
    time.day = leading_number(parts[0]);
  } else {
    read_day_month(leading_number(parts[0]), leading_number(parts[1]), order, time);
  }
  return time;
}

// The date of a Unix line: `length` columns of `form` from column i.
EntryTime read_unix_date(ColumnList& c, std::size_t i, std::size_t length, DateForm form) {
  EntryTime time;
  const auto clock_or_year = [&](std::size_t k) {
    if (k >= i + length) return;
    if (c.has(k, kClock)) {
      read_clock(c.text(k), time);
    } else if (c.has(k, kYear)) {
      time.year = leading_number(c.text(k));
    }
  };
  switch (form) {
    case DateForm::kDateColumn:
      time = read_date_column(c.text(i), Order::kUnknown);
      clock_or_year(i + 1);
      break;
    case DateForm::kMonthDayColumn:
      time = read_date_column(c.text(i), Order::kUnknown);
      clock_or_year(i + 1);
      break;
    case DateForm::kYearMonthDay:
      time.year = leading_number(c.text(i));
      time.month = month_of_column(c.text(i + 1));
      time.day = leading_number(c.text(i + 2));
      clock_or_year(i + 3);
      break;
    case DateForm::kMonthDay:
    case DateForm::kMonthDayYear:
    case DateForm::kNumbers:
      time.month = month_of_column(c.text(i));
      time.day = leading_number(c.text(i + 1));
      clock_or_year(i + 2);
      clock_or_year(i + 3);
      break;
    case DateForm::kDayMonth:
      time.day = leading_number(c.text(i));
      time.month = month_of_column(c.text(i + 1));
      clock_or_year(i + 2);
      break;
  }
  return time;
}

bool is_type_letter(char c) {
  switch (c) {
    case '-': case 'b': case 'c': case 'd': case 'D': case 'f': case 'l': case 'n': case 'p':
    case 's': case 'w':
      return true;
    default:
      return false;
  }
}

bool is_permission(char c) {
  switch (c) {
    case '-': case 'r': case 'w': case 'x': case 's': case 'S': case 't': case 'T': case 'l':
    case 'L':
      return true;
    default:
      return false;
  }
}

// "drwxr-xr-x", or one permission short ("drw-r--rw" from some embedded
// servers); then maybe one ACL / security-context marker ('+' POSIX ACL,
// '.' SELinux, '@' macOS extended attributes) and a link count run into it
// when the count is wider than its column ("drwxr-x---+1464").
bool is_mode(std::string_view s) {
  if (s.empty() || !is_type_letter(s[0])) return false;
  std::size_t i = 1;
  while (i < s.size() && i < 10 && is_permission(s[i])) ++i;
  if (i < 9) return false;
  if (i < s.size() && (s[i] == '+' || s[i] == '.' || s[i] == '@')) ++i;
  while (i < s.size() && is_digit(s[i])) ++i;
  return i == s.size();
}

std::optional<std::uint64_t> size_of(std::string_view column, unsigned traits) {
  if (traits & kSize) return parse_u64(column);
  // Only a group run into the size ends in digits without starting with one.
  if (!column.empty() && !is_digit(column.front()) && is_digit(column.back())) {
    std::size_t begin = column.size();
    while (is_digit(column[begin - 1])) --begin;
    return parse_u64(column.substr(begin));
  }
  return std::nullopt;
}

std::optional<FtpEntry> parse_unix(std::string_view line, std::size_t from) {
  ColumnList c(line, from);
  if (!c.reach(0) || !is_mode(c.text(0))) return std::nullopt;
  const char type = line[c[0].begin];

  // Leftmost wins: a name may itself hold something that looks like a date.
  std::size_t size_column = 0;
  std::size_t last = 0;
  bool padded = false;
  DateForm form = DateForm::kDateColumn;
  for (bool lenient : {false, true}) {
    for (std::size_t i = 2; last == 0 && c.reach(i); ++i) {
      if (!c.has(i - 1, kSizeColumn)) continue;
      c.reach(i + 3);  // the longest date form
      const std::size_t length = date_length(c, i, lenient, padded, form);
      if (length == 0) continue;
      size_column = i - 1;
      last = i + length - 1;
    }
    if (last != 0) break;
  }
  const bool dated = last != 0;
  if (last == 0) {
    // Some servers leave the date out: mode, links, owner, group, size, name.
    // Taken only when nothing on the line looks like part of a date, such as
    // a year after the size (owners and groups may be numbers like 1000).
    bool date_parts = false;
    for (std::size_t i = 1; c.reach(i); ++i) {
      date_parts |= c.has(i, kDatePart) || c.month_name(i) || (i > 4 && c.has(i, kYear));
    }
    if (date_parts || !c.reach(5) || !c.has(1, kSize) || !c.has(4, kSize)) {
      return unrecognized(line);
    }
    size_column = 4;
    last = 4;
  }

  // ls puts one blank between the date and the name, so any further blanks
  // belong to the name. But where a year stands in the clock's place, ls
  // pads it to the clock's width: before it in most locales ("Mar  2  2019
  // x"), after it in some ("2. Mär 2019  x"), which shows as a single blank
  // before the year.
  std::size_t name_begin = c[last].end;
  if (padded) {
    while (name_begin < line.size() && is_blank(line[name_begin])) ++name_begin;
  } else {
    ++name_begin;
    const std::size_t year = c[last].begin;
    if ((form == DateForm::kMonthDay || form == DateForm::kDayMonth) && c.has(last, kYear) &&
        c[last].end - year == 4 && year >= 2 && !is_blank(line[year - 2]) &&
        name_begin < line.size() && is_blank(line[name_begin])) {
      ++name_begin;
    }
  }
  if (name_begin >= line.size()) return unrecognized(line);
  std::string_view name = line.substr(name_begin);

  FtpEntry entry;
  switch (type) {
    case '-': entry.kind = Kind::kFile; break;
    case 'd': entry.kind = Kind::kDirectory; break;
    default: entry.kind = Kind::kOther; break;
  }
  // Only ls -l of a link prints " -> target"; on any other line the arrow is
  // part of the name and the server wants it back that way.
  if (type == 'l') {
    const std::size_t arrow = name.find(" -> ");
    if (arrow != std::string_view::npos) name = name.substr(0, arrow);
    if (name.empty()) return unrecognized(line);
  }
  // Device files print "major, minor" where others print the size.
  if (type != 'c' && type != 'b') {
    entry.size = size_of(c.text(size_column), c[size_column].traits);
  }
  if (dated) entry.time = read_unix_date(c, size_column + 1, last - size_column, form);
  entry.name = std::string(name);
  return entry;
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

std::optional<FtpEntry> parse_dos(std::string_view line, std::size_t from) {
  Columns columns(line, from);
  std::size_t begin = 0;
  std::size_t end = 0;
  const auto next = [&] { return columns.next(begin, end); };
  const auto text = [&] { return line.substr(begin, end - begin); };
  if (!next() || !is_dos_date(text())) return std::nullopt;
  EntryTime time = read_date_column(text(), Order::kMonthFirst);
  // From here on the line is an entry, read or reported.
  if (!next() || !is_dos_time(text())) return unrecognized(line);
  const std::size_t clock_begin = begin;
  std::size_t clock_end = end;
  if (!next()) return unrecognized(line);
  if (is_meridiem(text())) {  // "10:00 AM"
    clock_end = end;
    if (!next()) return unrecognized(line);
  }
  read_clock(line.substr(clock_begin, clock_end - clock_begin), time);

  const std::string_view marker = text();
  FtpEntry entry;
  std::size_t name_begin = end + 1;
  if (marker.size() > 2 && marker.front() == '<' && marker.back() == '>') {
    entry.kind = iequals(marker, "<DIR>") ? Kind::kDirectory : Kind::kOther;
    // IIS pads "<DIR>" out to the width of the size column, ten blanks after
    // it, and starts every name in the same column, so blanks past those ten
    // belong to the name (and CWD needs them). Other servers pad less.
    constexpr std::size_t kIisDirPadding = 10;
    std::size_t blanks = 0;
    while (blanks < kIisDirPadding && end + blanks < line.size() && is_blank(line[end + blanks])) {
      ++blanks;
    }
    name_begin = end + blanks;
  } else {
    if (!parse_dos_size(marker, entry.size)) return unrecognized(line);
    entry.kind = Kind::kFile;
  }
  if (name_begin >= line.size()) return unrecognized(line);
  entry.name = std::string(line.substr(name_begin));
  entry.time = time;
  return entry;
}

}  // namespace

std::optional<FtpEntry> parse_mlsd_line(std::string_view line) { return parse_mlsd(line, nullptr); }

std::optional<FtpEntry> parse_list_line(std::string_view line) {
  // Some servers indent every line.
  std::size_t from = 0;
  while (from < line.size() && is_blank(line[from])) ++from;
  if (from == line.size()) return std::nullopt;
  if (is_digit(line[from])) return parse_dos(line, from);
  return parse_unix(line, from);
}

bool feat_lists_utf8(std::string_view reply) {
  std::size_t begin = 0;
  while (begin < reply.size()) {
    std::size_t end = reply.find('\n', begin);
    if (end == std::string_view::npos) end = reply.size();
    std::string_view line = reply.substr(begin, end - begin);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    const std::size_t at = line.find_first_not_of(' ');
    if (at > 0 && at != std::string_view::npos && iequals(line.substr(at), "UTF8")) return true;
    begin = end + 1;
  }
  return false;
}

FtpListing parse_listing(std::string_view body, ListingFormat format) {
  FtpListing listing;
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
    std::optional<FtpEntry> entry = format == ListingFormat::kMlsd
                                        ? parse_mlsd(line, &listing.unique)
                                        : parse_list_line(line);
    if (entry) listing.entries.push_back(std::move(*entry));
  }
  return listing;
}

}  // namespace vandrisk
