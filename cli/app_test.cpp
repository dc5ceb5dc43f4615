#include "cli/app.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "testing/fake_ftp_client.h"
#include "testing/test_support.h"

namespace vandrisk {
namespace {

using test::gbk;

// Runs the program in process: no sleeping, no key wait, fake servers (one per
// task, in order).
class AppTest : public ::testing::Test {
 protected:
  AppTest() : env_{out_, err_, false, [this](unsigned ms) { sleeps_.push_back(ms); }, [this] { ++key_waits_; },
                   [this]() -> std::unique_ptr<FtpClient> {
                     return std::make_unique<FakeFtpClient>(servers_.at(clients_made_++));
                   }} {}

  int run_with_config(const std::string& config, std::size_t servers = 0) {
    servers_.resize(servers);
    const std::string path = dir_.path() + "/tasks.cnf";
    test::write_file(path, config);
    const char* argv[] = {"vandrisk", "--cnf", path.c_str()};
    return app_main(3, argv, env_);
  }
  std::string task_group(const std::string& extra) const {
    return "host=127.0.0.1\nftppath=/d\nlocalpath=" + dir_.local() + "\\local\n" + extra + "tail=\n";
  }

  test::ScratchDir dir_;
  std::ostringstream out_;
  std::ostringstream err_;
  std::vector<unsigned> sleeps_;
  int key_waits_ = 0;
  std::vector<FakeFtpServer> servers_;
  std::size_t clients_made_ = 0;
  AppEnv env_;
};

const std::string kHeading = gbk("\r\n配置文件内容：\r\n----------------\r\n");

TEST_F(AppTest, EmptyTaskListPrintsHeadingAndZeroTotal) {
  EXPECT_EQ(run_with_config("# nothing\n"), 0);
  EXPECT_EQ(out_.str(), kHeading + gbk("总共下载 0 个文件\r\n"));
  EXPECT_EQ(sleeps_, std::vector<unsigned>{3000});
  EXPECT_EQ(key_waits_, 0);
}

TEST_F(AppTest, FailedTaskDoesNotStopTheNextAndSetsExitStatus) {
  test::make_dir(dir_.os("local"));
  const std::string config = task_group("port=1\n") + task_group("port=2121\n");
  servers_.resize(2);
  servers_[0].fail_connect({ftp_errors::kCannotConnect, 0});
  servers_[1].add_dir("/d");
  servers_[1].add_file("/d/one", "1");
  servers_[1].add_file("/d/two", "2");
  const std::string path = dir_.path() + "/tasks.cnf";
  test::write_file(path, config);
  const char* argv[] = {"vandrisk", "--cnf", path.c_str(), "ignored"};
  EXPECT_EQ(app_main(4, argv, env_), 1);

  const std::string out = out_.str();
  const std::string tail = gbk("开始下载任务 127.0.0.1:1 /d\r\n") + "cant not open hIntSession\r\n" +
                           gbk("下载任务失败\r\n开始下载任务 127.0.0.1:2121 /d\r\n下载文件 /d/one\r\n"
                               "下载文件 /d/two\r\n成功下载 2 个文件\r\n下载任务失败任务数为 1\r\n");
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(out.find(gbk("总共下载")), std::string::npos);
  EXPECT_EQ(sleeps_, std::vector<unsigned>{3000});  // after the successful task only
  EXPECT_EQ(key_waits_, 1);
}

TEST_F(AppTest, CredentialsArePassedOnlyAsAFullPair) {
  const struct {
    const char* lines;
    bool anonymous;
  } cases[] = {
      {"user=bob\npwd=secret\n", false},
      {"user=bob\npwd=\n", true},
      {"pwd=secret\n", true},
      {"", true},
  };
  std::string config;
  for (const auto& c : cases) config += task_group(c.lines);
  servers_.resize(std::size(cases));
  for (FakeFtpServer& server : servers_) server.add_dir("/d");
  const std::string path = dir_.path() + "/tasks.cnf";
  test::write_file(path, config);
  const char* argv[] = {"vandrisk", "--cnf", path.c_str()};
  EXPECT_EQ(app_main(3, argv, env_), 0);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    ASSERT_EQ(servers_[i].connects().size(), 1u) << i;
    EXPECT_EQ(!servers_[i].connects()[0].user, cases[i].anonymous) << i;
  }
  EXPECT_EQ(servers_[0].connects()[0].password, "secret");
  // Each task ends with its success line and sleep, the run with the total.
  EXPECT_EQ(sleeps_, std::vector<unsigned>(5, 3000));
}

// The FTP library itself could not start (the client was not made): the
// task fails with its own line, and the next one still runs.
TEST_F(AppTest, ClientThatCannotStartFailsTheTask) {
  env_.make_client = [] { return std::unique_ptr<FtpClient>(); };
  EXPECT_EQ(run_with_config(task_group("")), 1);
  EXPECT_NE(out_.str().find(gbk("开始下载任务 127.0.0.1:0 /d\r\n") + "cant not open intSession\r\n" +
                            gbk("下载任务失败\r\n")),
            std::string::npos);
}

TEST_F(AppTest, TaskWithoutPortShowsZeroAndConnectsTo21) {
  servers_.resize(1);
  servers_[0].add_dir("/d");
  EXPECT_EQ(run_with_config(task_group(""), 1), 0);
  EXPECT_NE(out_.str().find(gbk("开始下载任务 127.0.0.1:0 /d\r\n")), std::string::npos);
  ASSERT_EQ(servers_[0].connects().size(), 1u);
  EXPECT_EQ(servers_[0].connects()[0].port, 21);
}

#ifndef _WIN32  // "\proc" at the root of the current drive is no directory there
TEST_F(AppTest, EmptyFieldsAreNotValidatedBeforeTheTaskRuns) {
  servers_.resize(1);
  // An empty ftppath lists the login directory; an empty localpath puts
  // "\proc" at the root, where a directory already stands: a conflict, not a
  // refusal up front.
  servers_[0].add_file("/proc", "x");
  const std::string path = dir_.path() + "/tasks.cnf";
  test::write_file(path, "tail=\n");
  const char* argv[] = {"vandrisk", "--cnf", path.c_str()};
  EXPECT_EQ(app_main(3, argv, env_), 1);
  EXPECT_NE(out_.str().find(gbk("开始下载任务 :0 \r\n下载文件 /proc 失败，文件冲突, file_type = 1\r\n"
                                "下载任务失败\r\n")),
            std::string::npos);
}
#endif

TEST_F(AppTest, LoadFailureWaitsForKeyAndExitsZero) {
  const struct {
    int argc;
    std::vector<const char*> argv;
  } cases[] = {
      {3, {"vandrisk", "--cnf", "/nonexistent/vandrisk.cnf"}},
      {3, {"vandrisk", "--cnf", ""}},  // an empty path does not fall back to the default
  };
  for (const auto& c : cases) {
    out_.str("");
    key_waits_ = 0;
    EXPECT_EQ(app_main(c.argc, c.argv.data(), env_), 0);
    EXPECT_EQ(out_.str(), gbk("初始化失败\r\n"));
    EXPECT_EQ(key_waits_, 1);
    EXPECT_TRUE(sleeps_.empty());
  }
}

TEST(HandleInfoOptionTest, HelpPrintsFourLinesForBothSpellings) {
  const std::string help = gbk(
      "--init          初始化配置文件\r\n"
      "--cnf filepath  使用 filepath 绝对路径的文件启动程序\r\n"
      "                无此参数则使用默认配置文件启动\r\n"
      "                默认配置文件为运行目录里面的 Vandrisk.cnf 文件，可以通过 --init 参数生成\r\n");
  for (const char* option : {"--help", "-h"}) {
    std::ostringstream out;
    const char* argv[] = {"vandrisk", option, "--init"};
    EXPECT_TRUE(handle_info_option(3, argv, out));
    EXPECT_EQ(out.str(), help);
  }
}

TEST(HandleInfoOptionTest, OnlyExactFirstArgumentsAreOptions) {
  for (const char* option : {"-H", "-help", "--HELP", "--help2", "--init=x", "--cnf", "", "x"}) {
    std::ostringstream out;
    const char* argv[] = {"vandrisk", option, "--help"};
    EXPECT_FALSE(handle_info_option(3, argv, out)) << option;
    EXPECT_EQ(out.str(), "") << option;
  }
  std::ostringstream out;
  const char* argv[] = {"vandrisk"};
  EXPECT_FALSE(handle_info_option(1, argv, out));
}

}  // namespace
}  // namespace vandrisk
