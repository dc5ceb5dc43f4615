#include "download/filters.h"

#include <gtest/gtest.h>

namespace vandrisk {
namespace {

struct Case {
  const char* name;
  const char* pattern;
  bool starts;
  bool ends;
};

TEST(FiltersTest, ExactCaseSensitiveByteComparison) {
  const Case cases[] = {
      {"name1.zip", "", true, true},
      {"", "", true, true},
      {"", "a", false, false},
      {"name1.zip", "name", true, false},
      {"name1.zip", ".zip", false, true},
      {"Name2.zip", "name", false, false},
      {"name3.ZIP", ".zip", false, false},
      {"ab", "abc", false, false},
      {"abc", "abc", true, true},
      {"\xD6\xD0\xCE\xC4.zip", "\xD6\xD0", true, false},
      {"x\xD6\xD0", "\xD0", false, true},  // bytes, not characters
  };
  for (const Case& c : cases) {
    EXPECT_EQ(starts_with(c.name, c.pattern), c.starts) << c.name << " / " << c.pattern;
    EXPECT_EQ(ends_with(c.name, c.pattern), c.ends) << c.name << " / " << c.pattern;
  }
}

TEST(FiltersTest, AbsentArgumentsMatchNothing) {
  EXPECT_FALSE(starts_with("name", nullptr));
  EXPECT_FALSE(ends_with("name", nullptr));
  EXPECT_FALSE(ends_with(nullptr, ""));
}

}  // namespace
}  // namespace vandrisk
