#include "ftp/remote_time.h"

namespace vandrisk {
namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar
// (H. Hinnant's days_from_civil).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The civil year of a day counted from 1970-01-01 (civil_from_days).
std::int64_t civil_year(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2);
}

int digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// A server's clock runs at most this far behind UTC (UTC-12) and this far
// ahead of it (UTC+14).
constexpr std::int64_t kMostBehind = 12 * 3600;
constexpr std::int64_t kMostAhead = 14 * 3600;

}  // namespace

std::optional<std::int64_t> time_val_seconds(std::string_view text) {
  if (text.size() < 14) return std::nullopt;
  if (text.size() > 14 && (text[14] != '.' || text.size() == 15)) return std::nullopt;
  for (std::size_t i = 15; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  const int year = digits(text, 0, 4), month = digits(text, 4, 2), day = digits(text, 6, 2);
  const int hour = digits(text, 8, 2), minute = digits(text, 10, 2), second = digits(text, 12, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60) {
    return std::nullopt;
  }
  return days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

bool listed_as_old(const EntryTime& time, std::int64_t now) {
  if (!time.modify.empty()) {
    const std::optional<std::int64_t> modified = time_val_seconds(time.modify);
    return modified && *modified < now - 3600;
  }
  if (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31) return false;
  // The date's first second as if the server's clock were UTC.
  const auto local_start = [&time](std::int64_t year) {
    return days_from_civil(year, static_cast<unsigned>(time.month),
                           static_cast<unsigned>(time.day)) * 86400 +
           (time.hour >= 0 ? time.hour * 3600 + time.minute * 60 : 0);
  };
  std::int64_t year = time.year;
  if (year == 0) {
    // ls shows the clock instead of the year for the last half year (and for
    // times ahead of its clock): a date more than half a year ahead of the
    // server's clock, at most kMostAhead ahead of ours, is of last year.
    const std::int64_t server_now = now + kMostAhead;
    year = civil_year(server_now / 86400 - (server_now % 86400 < 0 ? 1 : 0));
    if (local_start(year) > server_now + 183 * 86400) --year;
  }
  const std::int64_t local_end = local_start(year) + (time.hour >= 0 ? 59 : 86399);
  // In the zone furthest behind UTC the date ends latest.
  return local_end + kMostBehind < now - 86400;
}

}  // namespace vandrisk
