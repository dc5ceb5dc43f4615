#include "config/task_list.h"

#include <gtest/gtest.h>


#include <cstring>
#include <sstream>
#include <vector>

#include "testing/test_support.h"

namespace vandrisk {
namespace {

using test::gbk;
using test::ScratchDir;

class TaskListTest : public ::testing::Test {
 protected:
  // Loads a configuration file holding exactly `bytes`.
  bool load(const std::string& bytes) { return load_into(bytes, tasks_); }
  bool load_into(const std::string& bytes, TaskList& tasks) {
    const std::string path = dir_.path() + "/Vandrisk.cnf";
    test::write_file(path, bytes);
    return load_tasks(path.c_str(), tasks, out_);
  }
  std::vector<const TaskRecord*> records() const {
    std::vector<const TaskRecord*> all;
    for (const TaskRecord* t = tasks_.first(); t; t = t->next.get()) all.push_back(t);
    return all;
  }
  const TaskRecord& only() const {
    EXPECT_EQ(tasks_.size(), 1u);
    return *tasks_.first();
  }

  ScratchDir dir_;
  TaskList tasks_;
  std::ostringstream out_;
};

const char kGroup[] =
    "host=10.1.2.3\n"
    "port=2121\n"
    "user=bob\n"
    "pwd=secret\n"
    "ftppath=/data\n"
    "localpath=D:\\data\\ftp\n"
    "head=name\n"
    "tail=.zip\n";

TEST_F(TaskListTest, ReadsAllFieldsOfAGroup) {
  ASSERT_TRUE(load(kGroup));
  const TaskRecord& t = only();
  EXPECT_STREQ(t.host, "10.1.2.3");
  EXPECT_EQ(t.port, 2121);
  EXPECT_STREQ(t.user, "bob");
  EXPECT_STREQ(t.pwd, "secret");
  EXPECT_STREQ(t.ftppath, "/data");
  EXPECT_STREQ(t.localpath, "D:\\data\\ftp");
  EXPECT_STREQ(t.head, "name");
  EXPECT_STREQ(t.tail, ".zip");
  EXPECT_EQ(out_.str(), "");
}

TEST_F(TaskListTest, CrLfAndLfGiveTheSameFields) {
  std::string crlf;
  for (const char* p = kGroup; *p; ++p) crlf += *p == '\n' ? std::string("\r\n") : std::string(1, *p);
  ASSERT_TRUE(load(crlf));
  const TaskRecord& t = only();
  EXPECT_STREQ(t.host, "10.1.2.3");
  EXPECT_STREQ(t.localpath, "D:\\data\\ftp");
  EXPECT_STREQ(t.tail, ".zip");
}

TEST_F(TaskListTest, GroupsKeepFileOrderAndLinesMayComeInAnyOrder) {
  ASSERT_TRUE(load("tail=.a\nhost=one\n"          // first group: just tail
                   "host=two\nhead=h\ntail=.b\n"  // second starts after the first tail=
                   "head=x\ntail=.c\nhost=dropped\n"));
  const auto all = records();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_STREQ(all[0]->tail, ".a");
  EXPECT_STREQ(all[0]->host, "");
  EXPECT_STREQ(all[1]->host, "two");
  EXPECT_STREQ(all[1]->tail, ".b");
  EXPECT_STREQ(all[2]->head, "x");
  EXPECT_STREQ(all[2]->host, "");
}

struct LoadCase {
  const char* what;
  std::string bytes;
  std::size_t tasks;
  const char* host;  // of the first task, when there is one
};

TEST_F(TaskListTest, LineRules) {
  const LoadCase cases[] = {
      {"empty file", "", 0, nullptr},
      {"comments only", "# a\n#host=x\n#tail=y\n", 0, nullptr},
      {"group without tail= is dropped", "host=a\nport=1\n", 0, nullptr},
      {"complete group kept, incomplete last dropped", "host=a\ntail=t\nhost=b\n", 1, "a"},
      {"comment line inside a group", "host=a\n#tail=no\ntail=t\n", 1, "a"},
      {"# only in first column", " #x\nhost=a\ntail=t\n", 1, "a"},
      {"indented key not recognised", " host=a\ntail=t\n", 1, ""},
      {"upper-case key not recognised", "HOST=a\ntail=t\n", 1, ""},
      {"space before = not recognised", "host =a\ntail=t\n", 1, ""},
      {"repeated key overwrites", "host=abcdef\nhost=xy\ntail=t\n", 1, "xy"},
      {"blanks around value trimmed", "host= \t a b \t \ntail=t\n", 1, "a b"},
      {"lone CR stays inside the value", "host=a\rb\ntail=t\n", 1, "a\rb"},
      {"CR CR LF keeps the first CR, trim removes it", "host=a\r\r\ntail=t\n", 1, "a"},
      {"Ctrl-Z ends the file", "host=a\ntail=t\n\x1Ahost=b\ntail=u\n", 1, "a"},
      {"Ctrl-Z drops the pending group", "host=a\n\x1Atail=t\n", 0, nullptr},
      {"Ctrl-Z inside a line ends it there", "host=a\ntail=t\x1A\n", 1, "a"},
      {"UTF-8 BOM hides the first key", "\xEF\xBB\xBFhost=a\ntail=t\n", 1, ""},
      {"UTF-8 BOM makes a comment significant", "\xEF\xBB\xBF# c\nhost=a\ntail=t\n", 1, "a"},
      {"NUL ends the line's text", std::string("host=a\0b\ntail=t\n", 16), 1, "a"},
      {"last line without LF", "host=a\ntail=t", 1, "a"},
  };
  for (const LoadCase& c : cases) {
    TaskList tasks;
    ASSERT_TRUE(load_into(c.bytes, tasks)) << c.what;
    ASSERT_EQ(tasks.size(), c.tasks) << c.what;
    if (c.host) {
      EXPECT_STREQ(tasks.first()->host, c.host) << c.what;
    }
  }
}

TEST_F(TaskListTest, TailValueKeepsTrailingCrFreeAfterTrim) {
  ASSERT_TRUE(load("tail=.zip\r\n"));
  EXPECT_STREQ(only().tail, ".zip");
}

TEST_F(TaskListTest, FieldLimitsApplyBeforeTrimming) {
  const std::string sixty(60, 'h');
  const std::string gbk_char = "\xD6\xD0";  // one GBK character
  ASSERT_TRUE(load("host=" + sixty + "\n" +
                   "user=" + std::string(48, 'u') + gbk_char + "\n" +  // straddles byte 49
                   "pwd=          " + std::string(60, 'p') + "\n" +   // blanks count
                   "ftppath=/" + std::string(300, 'f') + "\n" +
                   "localpath=" + std::string(254, 'l') + "\n" +       // 254 + LF fits 255
                   "head=" + std::string(120, 'x') + "\n" +
                   "tail=" + std::string(99, 't') + "\n"));
  const TaskRecord& t = only();
  EXPECT_EQ(std::string(t.host), std::string(49, 'h'));
  EXPECT_EQ(std::string(t.user), std::string(48, 'u') + "\xD6");
  EXPECT_EQ(std::string(t.pwd), std::string(39, 'p'));
  EXPECT_EQ(std::string(t.ftppath), "/" + std::string(254, 'f'));
  EXPECT_EQ(std::string(t.localpath), std::string(254, 'l'));
  EXPECT_EQ(std::string(t.head), std::string(99, 'x'));
  EXPECT_EQ(std::string(t.tail), std::string(99, 't'));
}

TEST_F(TaskListTest, LongPhysicalLineIsReadIn1023BytePieces) {
  // The second piece of the first line starts with "tail=", so it is a line
  // of its own and closes the group.
  ASSERT_TRUE(load("host=" + std::string(1018, 'a') + "tail=split\nhead=h\ntail=t\n"));
  const auto all = records();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(std::string(all[0]->host), std::string(49, 'a'));
  EXPECT_STREQ(all[0]->tail, "split");
  EXPECT_STREQ(all[1]->head, "h");
}

TEST_F(TaskListTest, CrLfSplitAcrossTheReadLimitStillCollapses) {
  // 1022 bytes, then CR LF: after translation the piece is 1022 bytes + LF.
  ASSERT_TRUE(load("host=" + std::string(1017, 'a') + "\r\ntail=t\n"));
  EXPECT_EQ(std::string(only().host), std::string(49, 'a'));
}

TEST(ParsePortTest, ConvertsOverSigned32BitsThenKeepsLow16Bits) {
  const struct {
    const char* text;
    std::uint16_t port;
  } cases[] = {
      {"21\n", 21},           {"21abc\n", 21},         {"  \t21\n", 21},       {"+22", 22},
      {"\n", 0},              {"abc", 0},              {"-", 0},               {"0021", 21},
      {"65535", 65535},       {"65536", 0},            {"65557", 21},          {"70000", 4464},
      {"2147483647", 65535},  {"2147483648", 65535},   {"99999999999999999999999", 65535},
      {"-1", 65535},          {"-65535", 1},           {"-2147483648", 0},     {"-2147483649", 0},
      {"-99999999999999999", 0}, {"2 1", 2},           {"\xA3\xB2\xA3\xB1", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_port(c.text), c.port) << c.text;
}

TEST_F(TaskListTest, PortLineIsConvertedWithoutTrim) {
  ASSERT_TRUE(load("port=  2147483648 \ntail=t\n"));
  EXPECT_EQ(only().port, 65535);
}

TEST(TrimInPlaceTest, RemovesOnlyPosixWhitespace) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"   ", ""},
      {" a ", "a"},
      {"\t\n\v\f\r a b \r\n", "a b"},
      {"\xA1\xA1x\xA1\xA1", "\xA1\xA1x\xA1\xA1"},  // GBK full-width space is no whitespace
      {"\xD6\xD0 ", "\xD6\xD0"},
      {"\xA0x\xA0", "\xA0x\xA0"},
  };
  for (const auto& c : cases) {
    std::string text = c.in;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    EXPECT_EQ(trim_in_place(buffer.data()), buffer.data());
    EXPECT_STREQ(buffer.data(), c.out) << c.in;
  }
  EXPECT_EQ(trim_in_place(nullptr), nullptr);
}

TEST_F(TaskListTest, UnopenablePathsFailWithoutMessage) {
  EXPECT_FALSE(load_tasks((dir_.path() + "/missing.cnf").c_str(), tasks_, out_));
  EXPECT_FALSE(load_tasks("", tasks_, out_));
  EXPECT_FALSE(load_tasks(dir_.path().c_str(), tasks_, out_));  // a directory
  EXPECT_EQ(out_.str(), "");
}

#ifndef _WIN32  // Windows paths stop at 260 bytes long before 1023
TEST_F(TaskListTest, OverlongPathIsNotCutToAnotherFile) {
  // The first 1023 bytes of the path name a real file; the whole path does not.
  std::string base = dir_.path() + "/";
  while (base.size() < 1023 - 200) {  // names are at most 255 bytes: nest directories
    base += std::string(150, 'd') + "/";
    test::make_dir(base);
  }
  const std::string name(1023 - base.size(), 'c');
  test::write_file(base + name, kGroup);
  ASSERT_TRUE(load_tasks((base + name).c_str(), tasks_, out_));  // exactly 1023 bytes is fine
  TaskList other;
  EXPECT_FALSE(load_tasks((base + name + "x").c_str(), other, out_));
  EXPECT_EQ(other.size(), 0u);
}
#endif

TEST(BuildConfigPathTest, KeepsTheExecutablesDirectory) {
  const struct {
    const char* exe;
    const char* path;
  } cases[] = {
      {"/usr/local/bin/vandrisk", "/usr/local/bin/Vandrisk.cnf"},
      {"C:\\tools\\vandrisk.exe", "C:\\tools\\Vandrisk.cnf"},
      {"C:\\a/b\\vandrisk.exe", "C:\\a/b\\Vandrisk.cnf"},
      {"vandrisk", "vandriskVandrisk.cnf"},
      {"/vandrisk", "/vandriskVandrisk.cnf"},  // the first byte is never a cut point
      {"//vandrisk", "//Vandrisk.cnf"},
  };
  for (const auto& c : cases) {
    char buffer[64];
    ASSERT_TRUE(build_config_path(c.exe, buffer, sizeof buffer)) << c.exe;
    EXPECT_STREQ(buffer, c.path);
  }
}

TEST(BuildConfigPathTest, FailsWhenTheNameDoesNotFit) {
  char buffer[20];
  EXPECT_TRUE(build_config_path("/a/b/c/x", buffer, sizeof buffer));  // 19 bytes + NUL
  EXPECT_FALSE(build_config_path("/a/b/c/d/x", buffer, sizeof buffer));
}

TEST(DefaultConfigPathTest, SitsNextToTheRunningExecutable) {
  char buffer[1024];
  std::ostringstream out;
  ASSERT_TRUE(default_config_path(buffer, sizeof buffer, out));
  const std::string path = buffer;
  ASSERT_GT(path.size(), 13u);
  EXPECT_EQ(path.substr(path.size() - 12), "Vandrisk.cnf");
  const char separator = path[path.size() - 13];
  EXPECT_TRUE(separator == '/' || separator == '\\') << path;
  EXPECT_EQ(out.str(), "");
}

TEST(PrintTasksTest, PrintsHeadingThenSixLinesPerTask) {
  TaskList tasks;
  auto a = std::make_unique<TaskRecord>();
  std::strcpy(a->host, "h1");
  a->port = 21;
  std::strcpy(a->user, "u");
  std::strcpy(a->pwd, "p");
  std::strcpy(a->ftppath, "/d");
  std::strcpy(a->localpath, "D:\\x");
  std::strcpy(a->head, "name");
  std::strcpy(a->tail, ".zip");
  tasks.append(std::move(a));
  tasks.append(std::make_unique<TaskRecord>());
  std::ostringstream out;
  print_tasks(tasks, out);
  EXPECT_EQ(out.str(), gbk("\r\n配置文件内容：\r\n----------------\r\n") +
                           "host       h1:21\r\nuser       u:p\r\nftppath    /d\r\n"
                           "localpath  D:\\x\r\nhead       name\r\ntail       .zip\r\n----------------\r\n"
                           "host       :0\r\nuser       :\r\nftppath    \r\n"
                           "localpath  \r\nhead       \r\ntail       \r\n----------------\r\n");
  std::ostringstream empty_out;
  print_tasks(TaskList(), empty_out);
  EXPECT_EQ(empty_out.str(), gbk("\r\n配置文件内容：\r\n----------------\r\n"));
}

}  // namespace
}  // namespace vandrisk
