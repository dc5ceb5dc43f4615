#include "platform/windows_names.h"

#include <gtest/gtest.h>

#include <string>

namespace vandrisk::platform {
namespace {

struct NameCase {
  std::string name;
  bool unsafe;
};

// GBK characters whose trail byte is '\' (0x5C) or '|' (0x7C): U+4E57 is
// 0x81 0x5C, U+4E85 is 0x81 0x7C.
const std::string kTrailBackslash = "\x81\x5C";
const std::string kTrailBar = "\x81\x7C";

TEST(WindowsNamesTest, TellsNamesWindowsWouldStoreDifferently) {
  const NameCase cases[] = {
      {"name1.zip", false},
      {".hidden", false},
      {"a b.txt", false},
      {"\xC3\xFB\xD7\xD6.zip", false},  // 名字.zip
      {kTrailBackslash + ".zip", false},
      {kTrailBar + kTrailBar, false},
      {"", true},
      {"a:b", true},  // would be stream "b" of file "a"
      {"a*", true},
      {"what?", true},
      {"say\"hi\"", true},
      {"<x>", true},
      {"a|b", true},
      {"a\\b", true},
      {"a/b", true},
      {std::string("a\x01" "b"), true},
      {std::string("a\x1F"), true},
      {"trail ", true},
      {"trail.", true},
      {"...", true},
      {"\xC3\xFB.", true},  // a trailing dot after a double-byte character
      // A lead byte as the very last byte has no trail: what follows is not
      // shielded, and a lone lead byte hides nothing.
      {"x\x81", false},
      {"\x81:", true},  // ':' is no trail byte: it stands alone
      {"\x81" "a:", true},
      {"\x81\x7F|", true},
      {"CON", true},
      {"con", true},
      {"Nul.txt", true},
      {"aux.tar.gz", true},
      {"PRN", true},
      {"nul .txt", true},
      {"COM1", true},
      {"com9.log", true},
      {"LPT0", true},
      {"conin$", true},
      {"CONOUT$.x", true},
      {"CONSOLE", false},
      {"COM10", false},
      {"LPT", false},
      {"xCON", false},
      {"CON_1.zip", false},
      {".CON", false},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(is_unsafe_windows_name(c.name), c.unsafe) << '"' << c.name << '"';
  }
}

TEST(WindowsNamesTest, LastComponentSkipsTrailBytes) {
  const struct {
    std::string path;
    std::string last;
  } cases[] = {
      {"D:\\data\\ftp\\a.zip", "a.zip"},
      {"D:/data/a.zip", "a.zip"},
      {"\\tmp\\mixed/b", "b"},
      {"plain", "plain"},
      {"dir\\", ""},
      {"", ""},
      {"D:\\" + kTrailBackslash + "x", kTrailBackslash + "x"},
      {"D:\\x\\" + kTrailBackslash, kTrailBackslash},
      {"D:\\x\\a:b", "a:b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(last_path_component(c.path), c.last) << c.path;
  }
}

}  // namespace
}  // namespace vandrisk::platform
