#include "ftp/remote_url.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vandrisk {
namespace {

using namespace std::string_literals;

const std::string kGbk = "\xD6\xD0\xCE\xC4";  // "中文" in code page 936

struct SegmentCase {
  std::string segment;
  std::string expected;
};

TEST(RemoteUrlTest, SegmentEncoding) {
  const SegmentCase cases[] = {
      {"", ""},
      {"AZaz09-._~", "AZaz09-._~"},
      {"hash#1.txt", "hash%231.txt"},
      {"pct%41.txt", "pct%2541.txt"},
      {"q?x.txt", "q%3Fx.txt"},
      {"sp ace.txt", "sp%20ace.txt"},
      {";type=a", "%3Btype%3Da"},
      {"a/b\\c", "a%2Fb%5Cc"},
      {kGbk + ".txt", "%D6%D0%CE%C4.txt"},
      {"..", ".."},
      {"+&@:!$'()*,[]", "%2B%26%40%3A%21%24%27%28%29%2A%2C%5B%5D"},
      {"\0x"s, "%00x"},
      {"\t\r\n", "%09%0D%0A"},
      {"\x7F\x80\xFF", "%7F%80%FF"},
  };
  for (const SegmentCase& c : cases) {
    SCOPED_TRACE(c.segment);
    EXPECT_EQ(percent_encode_segment(c.segment), c.expected);
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case hex counts as wrong: libcurl takes both, but one form keeps URLs comparable
}

// Every byte value survives a round trip through an independent decoder,
// and nothing but the unreserved set appears unescaped.
TEST(RemoteUrlTest, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string encoded = percent_encode_segment(all);

  std::string decoded;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c != '%') {
      const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                              c == '~';
      EXPECT_TRUE(unreserved) << "unescaped byte " << static_cast<int>(c);
      decoded.push_back(c);
      continue;
    }
    ASSERT_LE(i + 2, encoded.size() - 1);
    const int hi = hex_value(encoded[i + 1]);
    const int lo = hex_value(encoded[i + 2]);
    ASSERT_GE(hi, 0);
    ASSERT_GE(lo, 0);
    decoded.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  EXPECT_EQ(decoded, all);
  EXPECT_EQ(encoded.size(), 66u + (256u - 66u) * 3u);  // 66 unreserved bytes
}

struct UrlCase {
  const char* host;
  std::uint16_t port;
  std::string path;
  std::string expected;
};

TEST(RemoteUrlTest, DirectoryUrls) {
  const UrlCase cases[] = {
      {"127.0.0.1", 2121, "/data/a b", "ftp://127.0.0.1:2121//data/a%20b/"},
      {"h", 2121, "rel/dir", "ftp://h:2121/rel/dir/"},
      {"h", 0, "", "ftp://h:21/"},
      {"h", 21, "", "ftp://h:21/"},
      {"h", 65535, "/", "ftp://h:65535//"},
      {"h", 2121, "/data/", "ftp://h:2121//data/"},
      {"h", 2121, "rel/", "ftp://h:2121/rel/"},
      {"h", 2121, "/x//a", "ftp://h:2121//x//a/"},
      {"h", 2121, "//", "ftp://h:2121///"},
      {"h", 2121, "/d/hash#1/q?x/pct%41/;type=a",
       "ftp://h:2121//d/hash%231/q%3Fx/pct%2541/%3Btype%3Da/"},
      {"h", 2121, "/" + kGbk + "/" + kGbk, "ftp://h:2121//%D6%D0%CE%C4/%D6%D0%CE%C4/"},
      {"h", 2121, "/a/../b", "ftp://h:2121//a/../b/"},
      {"h", 2121, "..", "ftp://h:2121/../"},
      {"h", 2121, "a\\b", "ftp://h:2121/a%5Cb/"},
      {"::1", 2121, "/d", "ftp://[::1]:2121//d/"},
      {"[::1]", 2121, "/d", "ftp://[::1]:2121//d/"},
      {"ftp.example.com", 0, "pub", "ftp://ftp.example.com:21/pub/"},
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ftp_directory_url(c.host, c.port, c.path), c.expected);
  }
}

TEST(RemoteUrlTest, FileUrls) {
  const UrlCase cases[] = {
      {"127.0.0.1", 2121, "/data/hash#1.txt", "ftp://127.0.0.1:2121//data/hash%231.txt"},
      {"h", 0, "pct%41.txt", "ftp://h:21/pct%2541.txt"},
      {"h", 21, "q?x.txt", "ftp://h:21/q%3Fx.txt"},
      {"h", 21, "/sp ace.txt", "ftp://h:21//sp%20ace.txt"},
      // Unencoded, libcurl would take ";type=a" as an ASCII-mode request.
      {"h", 21, "/d/;type=a", "ftp://h:21//d/%3Btype%3Da"},
      {"h", 21, "/d/x.bin;type=a", "ftp://h:21//d/x.bin%3Btype%3Da"},
      {"h", 21, "/d/" + kGbk + ".txt", "ftp://h:21//d/%D6%D0%CE%C4.txt"},
      {"h", 21, "/d/..", "ftp://h:21//d/.."},
      {"h", 21, "/x//a/f", "ftp://h:21//x//a/f"},
      {"h", 21, "rel/f", "ftp://h:21/rel/f"},
      {"::1", 21, "/f", "ftp://[::1]:21//f"},
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ftp_file_url(c.host, c.port, c.path), c.expected);
  }
}

}  // namespace
}  // namespace vandrisk
