// Listing bodies below marked "captured" are the exact bytes (CR LF included)
// that pyftpdlib 1.5.7 and vsftpd 3.0.3 sent on loopback for one test tree,
// read with a binary retrieve so no client rewrote the line ends. The tree:
//   " leading space.txt" (5 bytes)   "arrow -> x.txt" (1)    "big.bin" (3072000)
//   "dangling" -> /nonexistent       "dir with space"/       "empty"/
//   "fifo" (a named pipe)            "file with space.txt" (3)
//   "hash#1.txt" (1)                 "link_to_dir" -> sub    "link_to_file" -> file with space.txt
//   "old.txt" (0, dated 2020)        "semi;colon.txt" (1)    "sub"/
//   "two  spaces.txt" (1)            "type=file; trick" (1)
//   GBK "目录"/ (C4 BF C2 BC)         GBK "中文.txt" (D6 D0 CE C4 2E 74 78 74, 1 byte)
#include "ftp/listing_parser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vandrisk {

namespace {

using namespace std::string_literals;
using Kind = EntryKind;
using Size = std::optional<std::uint64_t>;

constexpr Size kNoSize = std::nullopt;

// FtpEntry as a comparable, printable value; kept local so no other test's
// helpers for FtpEntry can clash with these.
struct Row {
  std::string name;
  Kind kind;
  Size size;

  friend bool operator==(const Row& a, const Row& b) {
    return a.name == b.name && a.kind == b.kind && a.size == b.size;
  }
  friend void PrintTo(const Row& r, std::ostream* os) {
    const char* kind = r.kind == Kind::kFile           ? "file"
                       : r.kind == Kind::kDirectory    ? "dir"
                       : r.kind == Kind::kUnrecognized ? "unrecognized"
                                                       : "other";
    *os << "{" << ::testing::PrintToString(r.name) << ", " << kind << ", ";
    if (r.size) {
      *os << *r.size;
    } else {
      *os << "no size";
    }
    *os << "}";
  }
};

Row entry(std::string name, Kind kind, Size size) { return Row{std::move(name), kind, size}; }
// A line shaped like an entry that could not be read comes back whole.
Row unread(std::string line) { return Row{std::move(line), Kind::kUnrecognized, kNoSize}; }

std::optional<Row> row(const std::optional<FtpEntry>& e) {
  if (!e) return std::nullopt;
  return Row{e->name, e->kind, e->size};
}

std::vector<Row> rows(const std::vector<FtpEntry>& entries) {
  std::vector<Row> out;
  for (const FtpEntry& e : entries) out.push_back(Row{e.name, e.kind, e.size});
  return out;
}

const std::string kGbkDir = "\xC4\xBF\xC2\xBC";
const std::string kGbkFile = "\xD6\xD0\xCE\xC4.txt";

// ---- captured listings ----------------------------------------------------

// pyftpdlib with unicode_errors="surrogateescape", so the GBK names reach the
// wire as the bytes on disk (its default, "replace", turns them into '?').
const char kPyftpdlibMlsd[] =
    "modify=20261208032443;perm=el;size=4096;type=dir;unique=fe00ga72156; \xC4\xBF\xC2\xBC\r\n"
    "modify=20261208032443;perm=r;size=1;type=file;unique=fe00ga72154; hash#1.txt\r\n"
    "modify=20261208032443;perm=r;size=3;type=file;unique=fe00ga72150; link_to_file\r\n"
    "modify=20261208032443;perm=r;size=0;type=file;unique=fe00ga7215d; fifo\r\n"
    "modify=20261208032443;perm=el;size=4096;type=dir;unique=fe00ga7214f; dir with space\r\n"
    "modify=20261208032443;perm=r;size=1;type=file;unique=fe00ga72157; arrow -> x.txt\r\n"
    "modify=20261208032443;perm=el;size=4096;type=dir;unique=fe00ga7214e; empty\r\n"
    "modify=20261208032443;perm=r;size=1;type=file;unique=fe00ga72152; two  spaces.txt\r\n"
    "modify=20261208032443;perm=r;size=1;type=file;unique=fe00ga72155; \xD6\xD0\xCE\xC4.txt\r\n"
    "modify=20261208032443;perm=el;size=4096;type=dir;unique=fe00ga7214d; sub\r\n"
    "modify=20261208032443;perm=r;size=1;type=file;unique=fe00ga72153; semi;colon.txt\r\n"
    "modify=20261208032443;perm=r;size=5;type=file;unique=fe00ga72151;  leading space.txt\r\n"
    "modify=20201208021100;perm=r;size=0;type=file;unique=fe00ga7215e; old.txt\r\n"
    "modify=20261208032443;perm=r;size=1;type=file;unique=fe00ga7215c; type=file; trick\r\n"
    "modify=20261208032443;perm=r;size=3072000;type=file;unique=fe00ga7215b; big.bin\r\n"
    "modify=20261208032443;perm=r;size=3;type=file;unique=fe00ga72150; file with space.txt\r\n"
    "modify=20261208032443;perm=el;size=4096;type=dir;unique=fe00ga7214d; link_to_dir\r\n";

const char kPyftpdlibList[] =
    "-rw-r--r--   1 root     root            5 Dec 08 03:24  leading space.txt\r\n"
    "-rw-r--r--   1 root     root            1 Dec 08 03:24 arrow -> x.txt\r\n"
    "-rw-r--r--   1 root     root      3072000 Dec 08 03:24 big.bin\r\n"
    "lrwxrwxrwx   1 root     root           12 Dec 08 03:24 dangling -> /nonexistent\r\n"
    "drwxr-xr-x   2 root     root         4096 Dec 08 03:24 dir with space\r\n"
    "drwxr-xr-x   2 root     root         4096 Dec 08 03:24 empty\r\n"
    "prw-r--r--   1 root     root            0 Dec 08 03:24 fifo\r\n"
    "-rw-r--r--   1 root     root            3 Dec 08 03:24 file with space.txt\r\n"
    "-rw-r--r--   1 root     root            1 Dec 08 03:24 hash#1.txt\r\n"
    "lrwxrwxrwx   1 root     root            3 Dec 08 03:24 link_to_dir -> sub\r\n"
    "lrwxrwxrwx   1 root     root           19 Dec 08 03:24 link_to_file -> file with space.txt\r\n"
    "-rw-r--r--   1 root     root            0 Dec 08  2020 old.txt\r\n"
    "-rw-r--r--   1 root     root            1 Dec 08 03:24 semi;colon.txt\r\n"
    "drwxr-xr-x   2 root     root         4096 Dec 08 03:24 sub\r\n"
    "-rw-r--r--   1 root     root            1 Dec 08 03:24 two  spaces.txt\r\n"
    "-rw-r--r--   1 root     root            1 Dec 08 03:24 type=file; trick\r\n"
    "drwxr-xr-x   2 root     root         4096 Dec 08 03:24 \xC4\xBF\xC2\xBC\r\n"
    "-rw-r--r--   1 root     root            1 Dec 08 03:24 \xD6\xD0\xCE\xC4.txt\r\n";

const char kVsftpdList[] =
    "-rw-r--r--    1 0        0               5 Dec 08 03:24  leading space.txt\r\n"
    "-rw-r--r--    1 0        0               1 Dec 08 03:24 arrow -> x.txt\r\n"
    "-rw-r--r--    1 0        0         3072000 Dec 08 03:24 big.bin\r\n"
    "lrwxrwxrwx    1 0        0              12 Dec 08 03:24 dangling -> /nonexistent\r\n"
    "drwxr-xr-x    2 0        0            4096 Dec 08 03:24 dir with space\r\n"
    "drwxr-xr-x    2 0        0            4096 Dec 08 03:24 empty\r\n"
    "prw-r--r--    1 0        0               0 Dec 08 03:24 fifo\r\n"
    "-rw-r--r--    1 0        0               3 Dec 08 03:24 file with space.txt\r\n"
    "-rw-r--r--    1 0        0               1 Dec 08 03:24 hash#1.txt\r\n"
    "lrwxrwxrwx    1 0        0               3 Dec 08 03:24 link_to_dir -> sub\r\n"
    "lrwxrwxrwx    1 0        0              19 Dec 08 03:24 link_to_file -> file with space.txt\r\n"
    "-rw-r--r--    1 0        0               0 Dec 08  2020 old.txt\r\n"
    "-rw-r--r--    1 0        0               1 Dec 08 03:24 semi;colon.txt\r\n"
    "drwxr-xr-x    2 0        0            4096 Dec 08 03:24 sub\r\n"
    "-rw-r--r--    1 0        0               1 Dec 08 03:24 two  spaces.txt\r\n"
    "-rw-r--r--    1 0        0               1 Dec 08 03:24 type=file; trick\r\n"
    "drwxr-xr-x    2 0        0            4096 Dec 08 03:24 \xC4\xBF\xC2\xBC\r\n"
    "-rw-r--r--    1 0        0               1 Dec 08 03:24 \xD6\xD0\xCE\xC4.txt\r\n";

// GNU ls -la (C locale) on the same tree: LF only, "total", '.' and '..',
// single-digit days padded with a blank.
const char kGnuLsLa[] =
    "total 3056\n"
    "-rw-r--r-- 1 root root       5 Dec  8 03:24  leading space.txt\n"
    "drwxr-xr-x 6 root root    4096 Dec  8 03:24 .\n"
    "drwxr-xr-x 5 root root    4096 Dec  8 03:27 ..\n"
    "-rw-r--r-- 1 root root       1 Dec  8 03:24 arrow -> x.txt\n"
    "lrwxrwxrwx 1 root root      12 Dec  8 03:24 dangling -> /nonexistent\n"
    "prw-r--r-- 1 root root       0 Dec  8 03:24 fifo\n"
    "-rw-r--r-- 1 root root       0 Dec  8  2020 old.txt\n"
    "drwxr-xr-x 2 root root    4096 Dec  8 03:24 \xC4\xBF\xC2\xBC\n";

// What each name of the tree is, as LIST shows it (links unresolved) and as
// MLSD shows it (pyftpdlib follows links and calls the pipe a file).
struct TreeEntry {
  Kind list_kind;
  Size list_size;
  Kind mlsd_kind;
  Size mlsd_size;
};

const std::map<std::string, TreeEntry>& tree() {
  static const std::map<std::string, TreeEntry> kTree = {
      {" leading space.txt", {Kind::kFile, 5, Kind::kFile, 5}},
      {"arrow -> x.txt", {Kind::kFile, 1, Kind::kFile, 1}},
      {"big.bin", {Kind::kFile, 3072000, Kind::kFile, 3072000}},
      {"dangling", {Kind::kOther, 12, Kind::kOther, kNoSize}},
      {"dir with space", {Kind::kDirectory, 4096, Kind::kDirectory, 4096}},
      {"empty", {Kind::kDirectory, 4096, Kind::kDirectory, 4096}},
      {"fifo", {Kind::kOther, 0, Kind::kFile, 0}},
      {"file with space.txt", {Kind::kFile, 3, Kind::kFile, 3}},
      {"hash#1.txt", {Kind::kFile, 1, Kind::kFile, 1}},
      {"link_to_dir", {Kind::kOther, 3, Kind::kDirectory, 4096}},
      {"link_to_file", {Kind::kOther, 19, Kind::kFile, 3}},
      {"old.txt", {Kind::kFile, 0, Kind::kFile, 0}},
      {"semi;colon.txt", {Kind::kFile, 1, Kind::kFile, 1}},
      {"sub", {Kind::kDirectory, 4096, Kind::kDirectory, 4096}},
      {"two  spaces.txt", {Kind::kFile, 1, Kind::kFile, 1}},
      {"type=file; trick", {Kind::kFile, 1, Kind::kFile, 1}},
      {kGbkDir, {Kind::kDirectory, 4096, Kind::kDirectory, 4096}},
      {kGbkFile, {Kind::kFile, 1, Kind::kFile, 1}},
      {".", {Kind::kDirectory, 4096, Kind::kDirectory, kNoSize}},
      {"..", {Kind::kDirectory, 4096, Kind::kDirectory, kNoSize}},
  };
  return kTree;
}

std::vector<Row> expected_from_tree(const std::vector<std::string>& names,
                                         ListingFormat format) {
  std::vector<Row> out;
  for (const std::string& name : names) {
    const TreeEntry& t = tree().at(name);
    out.push_back(format == ListingFormat::kMlsd ? entry(name, t.mlsd_kind, t.mlsd_size)
                                                 : entry(name, t.list_kind, t.list_size));
  }
  return out;
}

struct CapturedCase {
  const char* label;
  std::string_view body;
  ListingFormat format;
  std::vector<std::string> names_in_order;
};

TEST(ListingParserTest, CapturedListingsGiveTheTreeInServerOrder) {
  const std::vector<std::string> list_order = {
      " leading space.txt", "arrow -> x.txt", "big.bin",      "dangling",
      "dir with space",     "empty",          "fifo",         "file with space.txt",
      "hash#1.txt",         "link_to_dir",    "link_to_file", "old.txt",
      "semi;colon.txt",     "sub",            "two  spaces.txt", "type=file; trick",
      kGbkDir,              kGbkFile};
  const CapturedCase cases[] = {
      {"pyftpdlib MLSD", kPyftpdlibMlsd, ListingFormat::kMlsd,
       {kGbkDir, "hash#1.txt", "link_to_file", "fifo", "dir with space", "arrow -> x.txt",
        "empty", "two  spaces.txt", kGbkFile, "sub", "semi;colon.txt", " leading space.txt",
        "old.txt", "type=file; trick", "big.bin", "file with space.txt", "link_to_dir"}},
      {"pyftpdlib LIST", kPyftpdlibList, ListingFormat::kList, list_order},
      {"vsftpd LIST", kVsftpdList, ListingFormat::kList, list_order},
      {"GNU ls -la", kGnuLsLa, ListingFormat::kList,
       {" leading space.txt", ".", "..", "arrow -> x.txt", "dangling", "fifo", "old.txt",
        kGbkDir}},
  };
  for (const CapturedCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(rows(parse_listing(c.body, c.format).entries), expected_from_tree(c.names_in_order, c.format));
  }
}

// ---- single MLSD lines -----------------------------------------------------

struct LineCase {
  const char* label;
  std::string line;
  std::optional<Row> expected;
};

TEST(ListingParserTest, MlsdLines) {
  const LineCase cases[] = {
      {"pyftpdlib dir with UNIX facts",
       "modify=20261208021100;perm=el;size=4096;type=dir;unique=803g1d;UNIX.mode=0755;"
       "UNIX.uid=0; link_to_dir",
       entry("link_to_dir", Kind::kDirectory, 4096)},
      {"proftpd cdir is the listed directory itself",
       "modify=20170127230002;perm=flcdmpe;type=cdir;unique=811U4340002;UNIX.group=33; .",
       std::nullopt},
      {"proftpd pdir is its parent",
       "modify=20170127230002;perm=flcdmpe;type=pdir;unique=811U4340002; ..", std::nullopt},
      {"cdir named like a file is still skipped", "type=cdir; /srv/data", std::nullopt},
      {"proftpd symlink type", "modify=20201201100000;perm=adfr;size=9;type=OS.unix=symlink; ln",
       entry("ln", Kind::kOther, 9)},
      {"slink with target keeps its '='", "type=OS.unix=slink:/x;size=2; ln2",
       entry("ln2", Kind::kOther, 2)},
      {"no type fact", "size=10;modify=20201201100000; untyped", entry("untyped", Kind::kOther, 10)},
      {"unknown type", "type=OS.z/VM=pds; member", entry("member", Kind::kOther, kNoSize)},
      {"fact names and type values ignore case", "Type=File;Size=12;Modify=20201201100000; Up",
       entry("Up", Kind::kFile, 12)},
      {"upper-case DIR", "TYPE=DIR; D", entry("D", Kind::kDirectory, kNoSize)},
      {"sizd is not a size", "type=dir;sizd=4096; d", entry("d", Kind::kDirectory, kNoSize)},
      {"facts without the final ';'", "type=file;size=7 x", entry("x", Kind::kFile, 7)},
      {"doubled ';' between facts", "type=file;;size=7; x", entry("x", Kind::kFile, 7)},
      {"empty facts (RFC allows)", " bare", entry("bare", Kind::kOther, kNoSize)},
      {"name with leading blanks", "type=file;size=1;   three", entry("  three", Kind::kFile, 1)},
      {"name with ';' and '=' and blanks", "type=file;size=1; a=b; c",
       entry("a=b; c", Kind::kFile, 1)},
      {"name with trailing blank", "type=file;size=1; t ", entry("t ", Kind::kFile, 1)},
      {"name with '/' and '\\' kept for the caller", "type=file;size=1; a/b\\c",
       entry("a/b\\c", Kind::kFile, 1)},
      {"NUL inside the name", "type=file;size=1; a\0b"s, entry("a\0b"s, Kind::kFile, 1)},
      {"CR inside the name", "type=file;size=1; a\rb", entry("a\rb", Kind::kFile, 1)},
      {"GBK name", "type=file;size=1; " + kGbkFile, entry(kGbkFile, Kind::kFile, 1)},
      {"largest size", "type=file;size=18446744073709551615; max",
       entry("max", Kind::kFile, UINT64_MAX)},
      {"size one past 64 bits is not told", "type=file;size=18446744073709551616; big",
       entry("big", Kind::kFile, kNoSize)},
      {"non-numeric size is not told", "type=file;size=12k; k", entry("k", Kind::kFile, kNoSize)},
      {"negative size is not told", "type=file;size=-1; n", entry("n", Kind::kFile, kNoSize)},
      {"empty size is not told", "type=file;size=; e", entry("e", Kind::kFile, kNoSize)},
      {"no blank: not an entry", "type=file;size=1;name", std::nullopt},
      {"empty name", "type=file;size=1; ", std::nullopt},
      {"a fact without '='", "type=file;bogus;size=1; x", std::nullopt},
      {"a fact with an empty name", "=file; x", std::nullopt},
      {"a LIST line is not MLSD", "-rw-r--r-- 1 0 0 3 Dec 08 02:11 f", std::nullopt},
      {"prose", "hello world", std::nullopt},
      {"empty line", "", std::nullopt},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(row(parse_mlsd_line(c.line)), c.expected);
  }
}

// ---- single LIST lines ------------------------------------------------------

TEST(ListingParserTest, MlsdTellsIdentitiesOfEntriesAndOfTheListedDirectory) {
  const FtpListing listing = parse_listing(
      "type=cdir;unique=803g11; /d\r\ntype=pdir;unique=803g2; ..\r\n"
      "type=dir;Unique=803g5;size=4096; sub\r\ntype=file;size=3; f\r\n",
      ListingFormat::kMlsd);
  EXPECT_EQ(listing.unique, "803g11");
  ASSERT_EQ(listing.entries.size(), 2u);
  EXPECT_EQ(listing.entries[0].unique, "803g5");
  EXPECT_EQ(listing.entries[1].unique, "");
  EXPECT_EQ(parse_listing("type=dir;unique=1; a\r\n", ListingFormat::kMlsd).unique, "");
}

TEST(ListingParserTest, UnixListLines) {
  const LineCase cases[] = {
      {"vsftpd dir", "drwxr-xr-x    2 0        0            4096 Dec 08 02:11 empty",
       entry("empty", Kind::kDirectory, 4096)},
      {"vsftpd file with blank",
       "-rw-r--r--    1 0        0               3 Dec 08 02:11 file with space.txt",
       entry("file with space.txt", Kind::kFile, 3)},
      {"vsftpd link", "lrwxrwxrwx    1 0        0               3 Dec 08 02:11 link_to_dir -> sub",
       entry("link_to_dir", Kind::kOther, 3)},
      {"link cut at the first arrow", "lrwxrwxrwx 1 u g 3 Dec 08 02:11 a -> b -> c",
       entry("a", Kind::kOther, 3)},
      {"link without target shown", "lrwxrwxrwx 1 u g 3 Dec 08 02:11 bare",
       entry("bare", Kind::kOther, 3)},
      {"a file's arrow is part of its name", "-rw-r--r-- 1 u g 1 Dec 08 02:11 a -> b",
       entry("a -> b", Kind::kFile, 1)},
      {"year instead of time", "-rw-r--r--    1 0        0               0 Dec  8  2020 old.txt",
       entry("old.txt", Kind::kFile, 0)},
      {"one-digit hour", "-rw-r--r-- 1 u g 9 Jan  1  9:05 early", entry("early", Kind::kFile, 9)},
      {"named owners", "-rw-r--r--   1 ftpuser  ftpgroup   1234 Jan 01 12:00 name1.zip",
       entry("name1.zip", Kind::kFile, 1234)},
      {"group column missing", "-rw-r--r-- 1 owner 1234 Jan 01 12:00 name",
       entry("name", Kind::kFile, 1234)},
      {"group column missing, numeric owner", "drwxr-xr-x 3 1000 4096 Feb 29 2020 leap",
       entry("leap", Kind::kDirectory, 4096)},
      {"lower-case month", "-rw-r--r-- 1 u g 5 jun 30 23:59 lc", entry("lc", Kind::kFile, 5)},
      {"POSIX ACL marker", "-rw-r--r--+ 1 user group 1234 Jan 01 12:00 acl.txt",
       entry("acl.txt", Kind::kFile, 1234)},
      {"SELinux marker", "drwxr-xr-x. 2 root root 6 Apr 11  2018 selinux",
       entry("selinux", Kind::kDirectory, 6)},
      {"macOS xattr marker", "-rw-r--r--@ 1 me staff 10 Mar  3 10:10 mac",
       entry("mac", Kind::kFile, 10)},
      {"setuid and sticky bits", "drwxrwxrwt 9 0 0 4096 Oct 10 10:10 tmp",
       entry("tmp", Kind::kDirectory, 4096)},
      {"char device (GNU ls)", "crw-rw-rw- 1 root root   1,   7 Dec  8 00:44 full",
       entry("full", Kind::kOther, kNoSize)},
      {"block device, minor glued", "brw-rw---- 1 root disk 8,0 Dec  8 00:44 sda",
       entry("sda", Kind::kOther, kNoSize)},
      {"named pipe", "prw-r--r-- 1 0 0 0 Dec 08 03:24 fifo", entry("fifo", Kind::kOther, 0)},
      {"socket", "srwxrwxrwx 1 0 0 0 Dec 08 03:24 sock", entry("sock", Kind::kOther, 0)},
      {"name keeps leading blanks", "-rw-r--r-- 1 0 0 5 Dec 08 03:24   two leading",
       entry("  two leading", Kind::kFile, 5)},
      {"name keeps inner and trailing blanks", "-rw-r--r-- 1 0 0 5 Dec 08 03:24 a   b ",
       entry("a   b ", Kind::kFile, 5)},
      {"name that looks like a date", "-rw-r--r-- 1 0 0 3 Dec 08 02:11 5 Jan 01 2020 x",
       entry("5 Jan 01 2020 x", Kind::kFile, 3)},
      {"name '.' and '..' are left to the caller", "drwxr-xr-x 2 0 0 6 Dec 08 02:11 ..",
       entry("..", Kind::kDirectory, 6)},
      {"NUL and CR inside the name", "-rw-r--r-- 1 0 0 3 Dec 08 02:11 a\0b\rc"s,
       entry("a\0b\rc"s, Kind::kFile, 3)},
      {"GBK name", "-rw-r--r-- 1 0 0 1 Dec 08 03:24 " + kGbkFile, entry(kGbkFile, Kind::kFile, 1)},
      {"largest size", "-rw-r--r-- 1 0 0 18446744073709551615 Dec 08 02:11 max",
       entry("max", Kind::kFile, UINT64_MAX)},
      {"size past 64 bits is not told", "-rw-r--r-- 1 0 0 99999999999999999999 Dec 08 02:11 big",
       entry("big", Kind::kFile, kNoSize)},
      {"total", "total 3056", std::nullopt},
      {"no name after the date", "-rw-r--r-- 1 0 0 3 Dec 08 02:11", unread("-rw-r--r-- 1 0 0 3 Dec 08 02:11")},
      {"only a blank after the date", "-rw-r--r-- 1 0 0 3 Dec 08 02:11 ", unread("-rw-r--r-- 1 0 0 3 Dec 08 02:11 ")},
      {"size rounded to a unit", "-rw-r--r-- 1 0 0 3k Dec 08 02:11 x", entry("x", Kind::kFile, kNoSize)},
      {"day 32", "-rw-r--r-- 1 0 0 3 Dec 32 02:11 x", unread("-rw-r--r-- 1 0 0 3 Dec 32 02:11 x")},
      {"day 0", "-rw-r--r-- 1 0 0 3 Dec 0 02:11 x", unread("-rw-r--r-- 1 0 0 3 Dec 0 02:11 x")},
      {"minutes 61", "-rw-r--r-- 1 0 0 3 Dec 08 02:61 x", unread("-rw-r--r-- 1 0 0 3 Dec 08 02:61 x")},
      {"German month", "-rw-r--r-- 1 0 0 3 Dez 08 02:11 x", entry("x", Kind::kFile, 3)},
      {"bad permission letter", "-rwxqwxrwx 1 0 0 3 Dec 08 02:11 x", std::nullopt},
      {"mode too short", "-rw-r--r 1 0 0 3 Dec 08 02:11 x", std::nullopt},
      {"two markers after the mode", "-rw-r--r--+. 1 0 0 3 Dec 08 02:11 x", std::nullopt},
      {"leading blank before the mode", " -rw-r--r-- 1 0 0 3 Dec 08 02:11 x",
       entry("x", Kind::kFile, 3)},
      {"date without size column", "-rw-r--r-- Dec 08 02:11 x", unread("-rw-r--r-- Dec 08 02:11 x")},
      {"MLSD line is not LIST", "type=file;size=1; x", std::nullopt},
      {"prose", "Hello, this is not a listing", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(row(parse_list_line(c.line)), c.expected);
  }
}

TEST(ListingParserTest, DosListLines) {
  const LineCase cases[] = {
      {"IIS dir", "12-01-20  10:00AM       <DIR>          sub",
       entry("sub", Kind::kDirectory, kNoSize)},
      {"IIS file", "12-01-20  10:00AM                 1234 name1.zip",
       entry("name1.zip", Kind::kFile, 1234)},
      {"IIS dir with blanks", "12-01-20  10:00PM       <DIR>          my dir  x",
       entry("my dir  x", Kind::kDirectory, kNoSize)},
      {"IIS file with blanks", "12-01-20  10:00PM                    7 a b.txt",
       entry("a b.txt", Kind::kFile, 7)},
      {"IIS dir name past the padding keeps its leading blank",
       "12-01-20  10:00AM       <DIR>           lead", entry(" lead", Kind::kDirectory, kNoSize)},
      {"IIS file name keeps its leading blank", "12-01-20  10:00AM                 1234  lead",
       entry(" lead", Kind::kFile, 1234)},
      {"four-digit year", "12-01-2020  10:00AM                 1234 y4",
       entry("y4", Kind::kFile, 1234)},
      {"year first, 24-hour clock", "2020-12-01  13:05                  55 iso",
       entry("iso", Kind::kFile, 55)},
      {"year first dir", "2020-12-01  13:05       <DIR>          isodir",
       entry("isodir", Kind::kDirectory, kNoSize)},
      {"slashes and separate AM", "12/01/2020  10:00 AM    <DIR>          slash",
       entry("slash", Kind::kDirectory, kNoSize)},
      {"grouped size", "12/01/2020  10:00 PM             1,234 grouped",
       entry("grouped", Kind::kFile, 1234)},
      {"lower-case meridiem", "12-01-20  09:59pm                    0 zero",
       entry("zero", Kind::kFile, 0)},
      {"narrow dir padding", "12-01-20  10:00AM <DIR> tight",
       entry("tight", Kind::kDirectory, kNoSize)},
      {"junction is neither", "12-01-20  10:00AM    <JUNCTION>     jn",
       entry("jn", Kind::kOther, kNoSize)},
      {"GBK name", "12-01-20  10:00AM                    1 " + kGbkFile,
       entry(kGbkFile, Kind::kFile, 1)},
      {"largest size", "12-01-20  10:00AM 18446744073709551615 max",
       entry("max", Kind::kFile, UINT64_MAX)},
      {"size past 64 bits is not told", "12-01-20  10:00AM 18446744073709551616 big",
       entry("big", Kind::kFile, kNoSize)},
      {"no name", "12-01-20  10:00AM       <DIR>", unread("12-01-20  10:00AM       <DIR>")},
      {"no name after size", "12-01-20  10:00AM                 1234 ", unread("12-01-20  10:00AM                 1234 ")},
      {"size not numeric", "12-01-20  10:00AM                 12a4 x", unread("12-01-20  10:00AM                 12a4 x")},
      {"comma only", "12-01-20  10:00AM                    , x", unread("12-01-20  10:00AM                    , x")},
      {"bad clock", "12-01-20  1000AM                 1234 x", unread("12-01-20  1000AM                 1234 x")},
      {"mixed date separators", "12-01/20  10:00AM                 1234 x", std::nullopt},
      {"date with four parts", "12-01-20-20  10:00AM                 1234 x", std::nullopt},
      {"three-digit year", "12-01-202  10:00AM                 1234 x", std::nullopt},
      {"digits only", "1234567", std::nullopt},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(row(parse_list_line(c.line)), c.expected);
  }
}

// One or two lines of each shape servers give a LIST line, with the name,
// kind and size they would take back; then lines shaped like entries that
// cannot be read, and lines that are no entries.
TEST(ListingParserTest, ListLinesOfEveryShape) {
  const Kind f = Kind::kFile;
  const Kind d = Kind::kDirectory;
  const LineCase cases[] = {
      // dates in the language and script of the server's locale
      {"zh_CN.UTF-8", "-rw-r--r-- 1 ftp ftp 120 3月 2日 15:13 月报 2024.xls",
       entry("月报 2024.xls", f, 120)},
      {"zh_CN.GBK with a year", "drwxr-xr-x 2 ftp ftp 4096 6\xD4\xC2 3\xC8\xD5 2003\xC4\xEA " + kGbkDir,
       entry(kGbkDir, d, 4096)},
      {"ja_JP.SJIS", "-rw-r--r-- 1 ops sys 64 11\x8C\x8E 9\x93\xFA 2011\x94N a  b", entry("a  b", f, 64)},
      {"ko_KR, no day suffix", "-rw-r--r-- 1 kim dev 5 12월  7 08:30 k", entry("k", f, 5)},
      {"year, month, day", "-rw-rw-rw- 1 lee dev 0 2019   7\xBF\xF9 14 ymd", entry("ymd", f, 0)},
      {"German, day first", "dr-xr-x--- 2 hans users 1024 7. März, 08:15 Akten", entry("Akten", d, 1024)},
      {"German abbreviation", "-r--r----- 1 hans users 77 14.  Dez.  2009 brief.txt",
       entry("brief.txt", f, 77)},
      {"Hungarian", "drwxr-x--- 2 anna staff 512 szept 3 2011 mappa", entry("mappa", d, 512)},
      {"French", "-rw-r--r-- 1 marc staff 7 févr. 14  2012 note", entry("note", f, 7)},
      {"Russian", "-rw-r--r-- 1 ivan staff 8 янв 12 10:00 r", entry("r", f, 8)},
      {"a month of no listed language", "-rw-r--r-- 1 nikos staff 9 Ιαν 12 10:00 g", entry("g", f, 9)},
      // numeric dates, any order
      {"long-iso", "-rw-r----- 1 www www 4410 2021-11-30 23:59 site.conf", entry("site.conf", f, 4410)},
      {"full-iso", "-rw-r--r-- 1 www www 1 2021-07-09 08:15:42.123456789 +0200 full", entry("full", f, 1)},
      {"year first, slashes", "-rw-r--r-- 1 a b 12 2008/02/29 06:00 leap", entry("leap", f, 12)},
      {"day first", "-rw-r--r-- 1 a b 13 31-12-1999 23:59 eve", entry("eve", f, 13)},
      {"month-day and year", "-rw-r--r-- 1 a b 14 12-25 2001 x mas", entry("x mas", f, 14)},
      {"month-day and clock", "-rw-r--r-- 1 a b 15 01-02 03:04 early", entry("early", f, 15)},
      {"dotted date padded", "-rw-r--r-- 1 a b 16 2010.05.06    dotted", entry("dotted", f, 16)},
      {"day-month name-year", "-rw-r--r-- 1 a b 17 15-mar-08 ides", entry("ides", f, 17)},
      {"day before month", "drwxr-xr-x 4 a b 4096 17 aug 2006 swapped dir", entry("swapped dir", d, 4096)},
      {"day, month, clock; the year is the name's", "drwxr-xr-x 4 a b 0 5 Nov 11:11 2020 plans",
       entry("2020 plans", d, 0)},
      {"VShell", "-rw-r--r-- 1 a b 18 Jun 30, 2004 17:45 vsh", entry("vsh", f, 18)},
      {"month number", "-rw-r--r-- 1 a b 19 11 5 06:07 numbered", entry("numbered", f, 19)},
      {"midnight as 24:00", "-rw-r--r-- 1 a b 20 Sep 9 24:00 late", entry("late", f, 20)},
      // columns
      {"link count run into the mode", "drwxrwx---+2048 web web 8192 Mar 14 09:05 logs",
       entry("logs", d, 8192)},
      {"mode one letter short", "-rw-r--r- 1 root root 21 Apr 1 10:00 nine", entry("nine", f, 21)},
      {"size rounded to a unit", "-rw-r--r-- 1 a b 1.2M Oct 5 21:22 rounded", entry("rounded", f, kNoSize)},
      {"group run into the size", "-rw-r--r-- 1 owner verylonggroup4096 Feb 12 17:20 glued",
       entry("glued", f, 4096)},
      {"no owner or group", "-rw-r--r-- 0012345 22 Mar 3 2007 bare", entry("bare", f, 22)},
      {"NetPresenz folder", "drwxrwxr-x      folder      3 Jun  1  1997 mac dir", entry("mac dir", d, 3)},
      {"no date", "drwxr-xr-x 5 kai staff 640 undated dir", entry("undated dir", d, 640)},
      {"indented", "   -rw-r--r--+ 1 kai staff 23 Dec 11 14:35 indented", entry("indented", f, 23)},
      {"an arrow on a line of no link is part of the name",
       "drwxr-xr-x 2 a b 512 May 4 2000 old -> new", entry("old -> new", d, 512)},
      // shaped like an entry, not readable: reported whole
      {"month without day", "drwxr-xr-x 2 a b 4096 Jan 10:00 x", unread("drwxr-xr-x 2 a b 4096 Jan 10:00 x")},
      {"unknown month, so no date; not dateless either", "-rw-r--r-- 1 0 0 3 Xyz 08 2003 x",
       unread("-rw-r--r-- 1 0 0 3 Xyz 08 2003 x")},
      {"indented mode alone", "  -rwxr-xr-x", unread("  -rwxr-xr-x")},
      {"DOS date without time", "04-08-14 readme.txt", unread("04-08-14 readme.txt")},
      {"link with only a target", "lrwxrwxrwx 1 a b 3 Dec 1 10:00  -> x",
       unread("lrwxrwxrwx 1 a b 3 Dec 1 10:00  -> x")},
      // no entries: silent
      {"total", "total 0", std::nullopt},
      {"blanks", "   ", std::nullopt},
      {"server reply", "226 Transfer complete", std::nullopt},
      {"rule of dashes", "--------------", std::nullopt},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(row(parse_list_line(c.line)), c.expected);
  }
}

// ---- whole bodies -----------------------------------------------------------

struct BodyCase {
  const char* label;
  std::string body;
  ListingFormat format;
  std::vector<Row> expected;
};

// What a line tells of its date, as far as telling a file's age needs: a
// month that could be either of two numbers, or a month word of an unknown
// language, stays 0.
TEST(ListingParserTest, DatesOfEveryForm) {
  const struct {
    const char* line;
    int year, month, day, hour, minute;
  } kCases[] = {
      {"-rw-r--r-- 1 ftp ftp 3 Dec 08 02:11 a", 0, 12, 8, 2, 11},
      {"-rw-r--r-- 1 ftp ftp 3 Aug 24  2001 a", 2001, 8, 24, -1, 0},
      {"-rw-r--r-- 1 ftp ftp 3 Apr  4 24:00 a", 0, 4, 4, 23, 59},
      {"-rw-r--r-- 1 ftp ftp 3 2005-04-08 11:22 a", 2005, 4, 8, 11, 22},
      {"-rw-r--r-- 1 ftp ftp 3 24-04-2003 17:12 a", 2003, 4, 24, 17, 12},
      {"-rw-r--r-- 1 ftp ftp 3 05-04-2003 17:12 a", 2003, 0, 0, 17, 12},
      {"-rw-r--r-- 1 ftp ftp 3 01-jun-99 a", 1999, 6, 1, -1, 0},
      {"-rw-r--r-- 1 ftp ftp 3 26. Juli, 20:10 a", 0, 7, 26, 20, 10},
      {"-rw-r--r-- 1 ftp ftp 3 Oct 08, 2002 09:47 a", 2002, 10, 8, 9, 47},
      {"-rw-r--r-- 1 ftp ftp 3 szept 26 20:10 a", 0, 9, 26, 20, 10},
      {"-rw-r--r-- 1 ftp ftp 3 \xE4\xB8\x89\xE6\x9C\x88 2\xE6\x97\xA5 15:13 a", 0, 0, 2, 15, 13},
      {"-rw-r--r-- 1 ftp ftp 3 3\xE6\x9C\x88 2\xE6\x97\xA5 15:13 a", 0, 3, 2, 15, 13},
      {"-rw-r--r-- 1 ftp ftp 3 2003 3\xE6\x9C\x88 20 a", 2003, 3, 20, -1, 0},
      {"-rw-r--r-- 1 ftp ftp 3 3 29 03:26 a", 0, 3, 29, 3, 26},
      // ls -l in the locales that wrote these (the Czech one holds a
      // no-break space), read since they were reported before:
      {"-rw-r--r-- 1 u g 0  7.\xC2\xA0pro 00.43 a", 0, 12, 7, 0, 43},
      {"-rw-r--r-- 1 u g 0 dec    7 00.43 a", 0, 12, 7, 0, 43},
      {"-rw-r--r-- 1 u g 0 2019 m\xC3\xA1rc   2 a", 2019, 3, 2, -1, 0},
      {"-rw-r--r-- 1 u g 0  7.12. 00:43 a", 0, 12, 7, 0, 43},
      {"-rw-r--r-- 1 u g 0  2. 3.  2019 a", 2019, 3, 2, -1, 0},
      {"-rw-r--r-- 1 u g 0  7. dets  00:43 a", 0, 12, 7, 0, 43},
      {"-rw-r--r-- 1 u g 0 \xE0\xB8\x98.\xE0\xB8\x84.   7 00:43 a", 0, 0, 7, 0, 43},
      // The year padded to the clock's width after it, not before.
      {"-rw-r--r-- 1 u g 0  2. M\xC3\xA4r 2019  a", 2019, 3, 2, -1, 0},
      {"12-01-20  10:00PM       3 a", 2020, 12, 1, 22, 0},
      {"12-01-20  12:15 AM      3 a", 2020, 12, 1, 0, 15},
      {"2020-12-01  10:00       3 a", 2020, 12, 1, 10, 0},
  };
  for (const auto& c : kCases) {
    const std::optional<FtpEntry> entry = parse_list_line(c.line);
    ASSERT_TRUE(entry && entry->name == "a") << c.line;
    const EntryTime& t = entry->time;
    EXPECT_EQ(std::vector<int>({t.year, t.month, t.day, t.hour, t.minute}),
              std::vector<int>({c.year, c.month, c.day, c.hour, c.minute}))
        << c.line;
  }
  EXPECT_EQ(parse_mlsd_line("type=file;Modify=20261209030201.5;size=1; a")->time.modify,
            "20261209030201.5");
  // Padding before the year: the second blank after it is the name's.
  EXPECT_EQ(parse_list_line("-rw-r--r-- 1 u g 0 Mar  2  2019  a")->name, " a");
  // Vietnamese puts the clock first: not read, but reported.
  EXPECT_EQ(parse_list_line("-rw-r--r-- 1 u g 0 00:43  7 Thg 12 a")->kind, Kind::kUnrecognized);
}

TEST(ListingParserTest, BodiesSplitIntoLines) {
  const std::string f = "-rw-r--r-- 1 0 0 3 Dec 08 02:11 ";
  const BodyCase cases[] = {
      {"empty body", "", ListingFormat::kList, {}},
      {"only line ends", "\n\r\n\n\r\n", ListingFormat::kList, {}},
      {"LF ends", f + "a\n" + f + "b\n", ListingFormat::kList,
       {entry("a", Kind::kFile, 3), entry("b", Kind::kFile, 3)}},
      {"CR LF ends", f + "a\r\n" + f + "b\r\n", ListingFormat::kList,
       {entry("a", Kind::kFile, 3), entry("b", Kind::kFile, 3)}},
      {"only one CR is stripped", f + "a\r\r\n", ListingFormat::kList,
       {entry("a\r", Kind::kFile, 3)}},
      {"CR inside a name stays", f + "a\rb\r\n", ListingFormat::kList,
       {entry("a\rb", Kind::kFile, 3)}},
      {"last line without LF", f + "a\n" + f + "b", ListingFormat::kList,
       {entry("a", Kind::kFile, 3), entry("b", Kind::kFile, 3)}},
      {"last line ending in a bare CR", f + "a\r", ListingFormat::kList,
       {entry("a", Kind::kFile, 3)}},
      {"total, blank and junk lines pass over", "total 8\r\n\r\n" + f + "a\r\njunk\r\n" + f + "b\r\n",
       ListingFormat::kList, {entry("a", Kind::kFile, 3), entry("b", Kind::kFile, 3)}},
      {"Unix and DOS lines mixed", f + "u\r\n12-01-20  10:00AM       <DIR>          d\r\n",
       ListingFormat::kList, {entry("u", Kind::kFile, 3), entry("d", Kind::kDirectory, kNoSize)}},
      {"NUL inside a line", f + "a\0b\r\n"s + "type=file;size=1; c\0\r\n"s, ListingFormat::kList,
       {entry("a\0b"s, Kind::kFile, 3)}},
      {"MLSD with cdir and pdir",
       "type=cdir;perm=el; /d\r\ntype=pdir; ..\r\ntype=file;size=2; x y\r\ntype=dir; z\r\n",
       ListingFormat::kMlsd, {entry("x y", Kind::kFile, 2), entry("z", Kind::kDirectory, kNoSize)}},
      {"LIST lines in an MLSD body are skipped", f + "a\r\ntype=file;size=2; b\r\n",
       ListingFormat::kMlsd, {entry("b", Kind::kFile, 2)}},
      {"MLSD lines in a LIST body are skipped", "type=file;size=2; b\r\n" + f + "a\r\n",
       ListingFormat::kList, {entry("a", Kind::kFile, 3)}},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(rows(parse_listing(c.body, c.format).entries), c.expected);
  }
}

// ---- size and hostile input ------------------------------------------------

using Clock = std::chrono::steady_clock;

// Far above what a single pass needs even under sanitizers, far below what a
// pass per byte of a megabyte line would need.
constexpr std::chrono::seconds kGenerous{5};

TEST(ListingParserTest, HundredThousandEntries) {
  std::string list;
  std::string mlsd;
  for (int i = 0; i < 100000; ++i) {
    const std::string name = "name" + std::to_string(i) + ".zip";
    list += "-rw-r--r--    1 0        0            " + std::to_string(i) + " Dec 08 02:11 " + name +
            "\r\n";
    mlsd += "modify=20261208021100;perm=r;size=" + std::to_string(i) + ";type=file; " + name + "\r\n";
  }
  for (const auto& [body, format] : {std::pair{&list, ListingFormat::kList},
                                     std::pair{&mlsd, ListingFormat::kMlsd}}) {
    const auto start = Clock::now();
    const std::vector<Row> entries = rows(parse_listing(*body, format).entries);
    EXPECT_LT(Clock::now() - start, kGenerous);
    ASSERT_EQ(entries.size(), 100000u);
    EXPECT_EQ(entries[0], entry("name0.zip", Kind::kFile, 0));
    EXPECT_EQ(entries[99999], entry("name99999.zip", Kind::kFile, 99999));
  }
}

TEST(ListingParserTest, MegabyteLinesAreFast) {
  constexpr std::size_t kMb = 1 << 20;
  auto repeat = [](const std::string& unit, std::size_t bytes) {
    std::string out;
    while (out.size() < bytes) out += unit;
    return out;
  };
  const std::string long_name(kMb, 'n');
  const BodyCase cases[] = {
      {"long name", "-rw-r--r-- 1 0 0 3 Dec 08 02:11 " + long_name + "\r\n", ListingFormat::kList,
       {entry(long_name, Kind::kFile, 3)}},
      {"long MLSD name", "type=file;size=3; " + long_name + "\r\n", ListingFormat::kMlsd,
       {entry(long_name, Kind::kFile, 3)}},
      {"date parts that never complete", "-rw-r--r-- 1 0 0 " + repeat("1 Jan 1 ", kMb) + "\n",
       ListingFormat::kList, {unread("-rw-r--r-- 1 0 0 " + repeat("1 Jan 1 ", kMb))}},
      {"months and days only", "-rw-r--r-- 1 0 0 3 " + repeat("Jan 31 ", kMb) + "\n",
       ListingFormat::kList, {unread("-rw-r--r-- 1 0 0 3 " + repeat("Jan 31 ", kMb))}},
      {"blanks after the mode", "-rw-r--r--" + std::string(kMb, ' ') + "x\n",
       ListingFormat::kList, {unread("-rw-r--r--" + std::string(kMb, ' ') + "x")}},
      {"blanks after a DOS dir marker",
       "12-01-20  10:00AM <DIR>" + std::string(kMb, ' ') + "d\n", ListingFormat::kList,
       {entry(std::string(kMb - 10, ' ') + "d", Kind::kDirectory, kNoSize)}},
      {"facts without a name", repeat("type=file;", kMb) + "\n", ListingFormat::kMlsd, {}},
      {"a million facts then a name", repeat("a=b;", kMb) + " x\n", ListingFormat::kMlsd,
       {entry("x", Kind::kOther, kNoSize)}},
      {"one huge digit run", "-rw-r--r-- 1 0 0 " + std::string(kMb, '9') + " Dec 08 02:11 x\n",
       ListingFormat::kList, {entry("x", Kind::kFile, kNoSize)}},
      {"a megabyte of CR", std::string(kMb, '\r'), ListingFormat::kList, {}},
      {"a megabyte of LF", std::string(kMb, '\n'), ListingFormat::kMlsd, {}},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.label);
    const auto start = Clock::now();
    const std::vector<Row> entries = rows(parse_listing(c.body, c.format).entries);
    EXPECT_LT(Clock::now() - start, kGenerous);
    EXPECT_TRUE(entries == c.expected);  // entries of a megabyte print badly
  }
}

TEST(ListingParserTest, RandomBytesNeverBreakIt) {
  std::mt19937 rng(20201201);
  // Mostly bytes that make listing lines, so that half-valid lines turn up.
  const std::string alphabet = "-drwxl0123456789 :;=\r\n<>DIRJanDec,typefilesize\0\x80\xFF"s;
  for (int round = 0; round < 8; ++round) {
    std::string body(1 << 19, '\0');
    for (char& c : body) {
      c = round % 2 == 0 ? static_cast<char>(rng() & 0xFF) : alphabet[rng() % alphabet.size()];
    }
    for (ListingFormat format : {ListingFormat::kList, ListingFormat::kMlsd}) {
      const auto start = Clock::now();
      const std::vector<FtpEntry> entries = parse_listing(body, format).entries;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].name;
        EXPECT_FALSE(name.empty());
        EXPECT_EQ(name.find('\n'), std::string::npos);
        if (i < 50) {
          EXPECT_NE(body.find(name), std::string::npos);
        }
      }
      EXPECT_LT(Clock::now() - start, kGenerous);
    }
  }
}

}  // namespace
}  // namespace vandrisk
