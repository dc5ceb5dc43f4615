#include "config/config_template.h"

#include <gtest/gtest.h>

#include <sstream>

#include "config/task_list.h"
#include "testing/test_support.h"

namespace vandrisk {
namespace {

TEST(ConfigTemplateTest, WrittenTemplateLoadsBackAsOneTask) {
  test::ScratchDir dir;
  const std::string path = dir.path() + "/Vandrisk.cnf";
  test::write_file(path, "an older file that is longer than nothing at all, to be replaced\n");
  ASSERT_TRUE(write_template_to(path.c_str()));
  const std::string first = test::read_file(path);
  ASSERT_TRUE(write_template_to(path.c_str()));
  EXPECT_EQ(test::read_file(path), first);  // overwritten, not appended

  // 17 lines, each ending in CR LF, nothing else.
  std::size_t lines = 0;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (first[i] == '\n') {
      ++lines;
      EXPECT_EQ(first[i - 1], '\r');
    }
  }
  EXPECT_EQ(lines, 17u);
  EXPECT_EQ(first.back(), '\n');

  TaskList tasks;
  std::ostringstream out;
  ASSERT_TRUE(load_tasks(path.c_str(), tasks, out));
  ASSERT_EQ(tasks.size(), 1u);
  const TaskRecord& t = *tasks.first();
  EXPECT_EQ(std::string(t.host).rfind("192.168.", 0), 0u);
  EXPECT_EQ(t.port, 21);
  EXPECT_STREQ(t.user, "user");
  EXPECT_STREQ(t.pwd, "586");
  EXPECT_STREQ(t.ftppath, "/data");
  EXPECT_STREQ(t.localpath, "D:\\data\\ftp");
  EXPECT_STREQ(t.head, "name");
  EXPECT_STREQ(t.tail, ".zip");
}

TEST(ConfigTemplateTest, FailsWhenTheFileCannotBeCreated) {
  test::ScratchDir dir;
  EXPECT_FALSE(write_template_to((dir.path() + "/no/such/dir/Vandrisk.cnf").c_str()));
  EXPECT_FALSE(write_template_to(dir.path().c_str()));  // a directory
}

#ifndef _WIN32
TEST(ConfigTemplateTest, ReportsAFullDiskAsFailure) {
  // /dev/full accepts the open and fails every flush.
  EXPECT_FALSE(write_template_to("/dev/full"));
}
#endif

}  // namespace
}  // namespace vandrisk
