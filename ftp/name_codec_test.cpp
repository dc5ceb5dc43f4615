#include "ftp/name_codec.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "testing/test_support.h"

namespace vandrisk {
namespace {

using test::gbk;
constexpr Charset kRaw = Charset::kRaw, kAuto = Charset::kAuto, kUtf8 = Charset::kUtf8,
                  kGbk = Charset::kGbk;

// The server's bytes under a charset: how they are read (0: not read), the
// console bytes, the Linux name, and the Windows name where it is no plain
// UTF-16 of the Linux one.
struct Case {
  std::string bytes;
  Charset charset;
  unsigned read_as;
  std::string console;
  std::string posix;
  const char16_t* windows = nullptr;
};

const Case kCases[] = {
    {"plain.txt", kAuto, 65001, "plain.txt", "plain.txt"},
    {u8"中文-utf8.txt", kAuto, 65001, gbk(u8"中文-utf8.txt"), u8"中文-utf8.txt"},
    {"\xD6\xD0\xCE\xC4-gbk.txt", kAuto, 936, "\xD6\xD0\xCE\xC4-gbk.txt", u8"中文-gbk.txt"},
    // GBK 目录 is valid UTF-8 too: auto reads it as "Ŀ¼", gbk as 目录.
    {"\xC4\xBF\xC2\xBC", kAuto, 65001, "%C4%BF%C2%BC", u8"Ŀ¼"},
    {"\xC4\xBF\xC2\xBC", kGbk, 936, "\xC4\xBF\xC2\xBC", u8"目录"},
    {u8"表情😀.txt", kAuto, 65001, gbk(u8"表情") + "%F0%9F%98%80.txt", u8"表情😀.txt", u"表情😀.txt"},
    {u8"カタ・〜.txt", kAuto, 65001, gbk(u8"カタ") + "%E3%83%BB%E3%80%9C.txt", u8"カタ・〜.txt"},
    {"100%.txt", kAuto, 65001, "100%.txt", "100%25.txt"},
    {"100%.txt", kRaw, 0, "100%.txt", "100%.txt", u""},
    {"\x81\x5C.txt", kGbk, 936, "\x81\x5C.txt", u8"乗.txt"},  // the trail byte is '\'
    {"\x81\x5C.txt", kRaw, 0, "\x81\x5C.txt", "\x81\x5C.txt", u""},
    {"\xFF\xFE" "A%", kAuto, 0, "%FF%FEA%", "%FF%FEA%25", u"%FF%FEA%25"},
    {"a\x01" "b\x7F", kAuto, 65001, "a?b?", "a\x01" "b\x7F"},
    {"\xFF\x01", kAuto, 0, "%FF?", "%FF%01"},
    {"\xD6\xD0\x01", kRaw, 0, "\xD6\xD0?", "\xD6\xD0\x01", u""},
    {u8"中.txt", kGbk, 0, "%E4%B8%AD.txt", "%E4%B8%AD.txt"},  // E4B8 is GBK, AD 2E is not
    {"\xD6\xD0", kUtf8, 0, "%D6%D0", "%D6%D0"},
    {"\xC0\xAF", kUtf8, 0, "%C0%AF", "%C0%AF"},                  // overlong '/'
    {"\xED\xA0\x80", kUtf8, 0, "%ED%A0%80", "%ED%A0%80"},        // a surrogate
    {"\xF4\x90\x80\x80", kUtf8, 0, "%F4%90%80%80", "%F4%90%80%80"},  // above U+10FFFF
    {"\xE4\xB8", kUtf8, 0, "%E4%B8", "%E4%B8"},                  // cut short
    // Two server directories, one local name: the walk must tell them apart.
    {u8"中文目录", kAuto, 65001, gbk(u8"中文目录"), u8"中文目录"},
    {"\xD6\xD0\xCE\xC4\xC4\xBF\xC2\xBC", kAuto, 936, gbk(u8"中文目录"), u8"中文目录"},
    {"\x80", kGbk, 936, "\x80", u8"€"},
    {"\xB3\x5C.txt", Charset::kBig5, 950, gbk(u8"許.txt"), u8"許.txt"},
    {"\x83\x5C\xB1.txt", Charset::kShiftJis, 932, gbk(u8"ソ") + "%B1.txt", u8"ソｱ.txt"},
    {"\xED\x40", Charset::kShiftJis, 0, "%ED@", "%ED@"},  // NEC's copy of IBM's FA5C
    {"\xC7\xD1", Charset::kEucKr, 949, "%C7%D1", u8"한"},
    {"\x94\x39\xFC\x36", Charset::kGb18030, 54936, "%94%39%FC%36", u8"😀"},
};

TEST(NameCodecTest, ConsoleAndLocalNames) {
  for (const Case& c : kCases) {
#ifdef _WIN32
    if (!charset_available(c.charset)) continue;  // Wine 8 has no code page 54936
#endif
    SCOPED_TRACE(testing::PrintToString(c.bytes) + " charset " + std::to_string(int(c.charset)));
    EXPECT_EQ(decode_name(c.bytes, c.charset).code_page, c.read_as);
    EXPECT_EQ(console_text(c.bytes, c.charset), c.console);
    EXPECT_EQ(posix_local_name(c.bytes, c.charset), c.posix);
    EXPECT_EQ(windows_local_name(c.bytes, c.charset),
              c.windows ? c.windows : to_utf16(*decode_config_value(c.posix)));
  }
}

TEST(NameCodecTest, CharsetNamesAndConfigValues) {
  Charset charset = kRaw;
  for (const char* name : {"raw", "auto", "utf-8", "gbk", "gb18030", "big5", "shift_jis", "euc-kr"}) {
    EXPECT_TRUE(parse_charset(name, charset)) << name;
#ifndef _WIN32
    EXPECT_TRUE(charset_available(charset)) << name;
#endif
  }
  EXPECT_EQ(charset, Charset::kEucKr);
  for (const char* name : {"", "UTF-8", "utf8", "cp936", "gbk "}) EXPECT_FALSE(parse_charset(name, charset));
  EXPECT_EQ(decode_config_value(u8"/数据"), U"/数据");
  EXPECT_EQ(decode_config_value("/\xCA\xFD\xBE\xDD"), U"/数据");
  EXPECT_EQ(decode_config_value("\xFF"), std::nullopt);
  EXPECT_EQ(to_utf8(U"a\xD800"), u8"a\uFFFD");
  EXPECT_EQ(to_utf16(U"\x110000\x1F600"), u"\uFFFD\U0001F600");
}

// Random names made of pieces that read differently under each charset.
TEST(NameCodecTest, LocalNamesAreInjectiveAndReadBack) {
  const char* const kPieces[] = {"a", "%", "%25", "%FF", "\x01", "/", "\\", u8"中", u8"Ŀ", u8"😀",
                                 "\xD6\xD0", "\x81\x5C", "\x80", "\xFF", "\xED\x40", "\xFA\x5C"};
  std::mt19937 random(20261209);
  for (Charset charset : {kAuto, kUtf8, kGbk, Charset::kShiftJis, Charset::kBig5}) {
    // Under auto, the UTF-8 and the GBK reading may meet (see above).
    std::map<std::pair<bool, std::string>, std::string> posix;
    std::map<std::pair<bool, std::u16string>, std::string> windows;
    for (int i = 0; i < 3000; ++i) {
      std::string bytes;
      for (unsigned n = random() % 5; n > 0; --n) bytes += kPieces[random() % std::size(kPieces)];
      const DecodedName name = decode_name(bytes, charset);
      const bool fallback = charset == kAuto && name.code_page == kCodePageGbk;
      const std::string local = posix_local_name(bytes, charset);
      EXPECT_EQ(posix.emplace(std::pair(fallback, local), bytes).first->second, bytes) << local;
      EXPECT_EQ(windows.emplace(std::pair(fallback, windows_local_name(bytes, charset)), bytes).first->second, bytes);
      if (bytes.find('/') == std::string::npos) {
        EXPECT_EQ(local.find('/'), std::string::npos) << local;
      }
      std::u32string text;
      for (const DecodedName::Char& ch : name.chars) text += ch.code;
      if (name.decoded) {
        EXPECT_EQ(decode_config_value(to_utf8(text)), text);
      }
    }
  }
}

}  // namespace
}  // namespace vandrisk
