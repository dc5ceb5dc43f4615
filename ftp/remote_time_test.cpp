#include "ftp/remote_time.h"

#include <gtest/gtest.h>

namespace vandrisk {
namespace {

constexpr std::int64_t kNow = 1796785321;      // 2026-12-09 03:02:01 UTC
constexpr std::int64_t kNewYear = 1767312000;  // 2026-01-02 00:00:00 UTC

EntryTime mlsd(const char* modify) {
  EntryTime time;
  time.modify = modify;
  return time;
}

EntryTime list(int year, int month, int day, int hour = -1, int minute = 0) {
  EntryTime time;
  time.year = year;
  time.month = month;
  time.day = day;
  time.hour = hour;
  time.minute = minute;
  return time;
}

TEST(RemoteTimeTest, ReadsTimeVals) {
  EXPECT_EQ(time_val_seconds("20261209030201"), kNow);
  EXPECT_EQ(time_val_seconds("20261209030201.123"), kNow);
  EXPECT_EQ(time_val_seconds("19700101000000"), 0);
  for (const char* bad : {"", "2026120903020", "20261309030201", "2026120903020x", "20261209030201.",
                          "20261209030201 "}) {
    EXPECT_EQ(time_val_seconds(bad), std::nullopt) << bad;
  }
}

// Old means: looking again cannot find the file changing. Whatever the
// server's zone (UTC-12 to UTC+14), a LIST date must lie more than a day back.
TEST(RemoteTimeTest, OldOnlyWhenTheListingLeavesNoDoubt) {
  const struct {
    EntryTime time;
    std::int64_t now;
    bool old;
  } kCases[] = {
      {mlsd("20261209010201"), kNow, true},    // two hours back
      {mlsd("20261209023000"), kNow, false},   // half an hour back
      {mlsd("garbage"), kNow, false},
      {list(0, 12, 7, 12, 0), kNow, true},     // even at UTC-12 it ended on Dec 8, 00:00:59
      {list(0, 12, 8, 2, 0), kNow, false},     // at UTC-12 that is Dec 8, 14:00
      {list(0, 12, 10, 1, 0), kNow, false},    // ahead of every zone's clock: this year still
      {list(2026, 11, 30), kNow, true},        // a day without a clock: its last second counts
      {list(2026, 12, 8), kNow, false},
      {list(0, 0, 0), kNow, false},            // no date read
      {list(0, 12, 30, 10, 0), kNewYear, true},  // the clock of last December
      {list(0, 1, 1, 9, 0), kNewYear, false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(listed_as_old(c.time, c.now), c.old)
        << c.time.modify << " " << c.time.year << "-" << c.time.month << "-" << c.time.day << " "
        << c.time.hour << ":" << c.time.minute;
  }
}

}  // namespace
}  // namespace vandrisk
