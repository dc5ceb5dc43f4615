// The tool's texts must reach the console as code page 936 bytes, exactly.
// Expected bytes come from iconv, not from the compiler's charset conversion.
#include "messages/messages.h"

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace vandrisk {
namespace {

using test::gbk;

struct Case {
  std::string actual;
  const char* expected_utf8;
};

TEST(MessagesTest, EveryTextIsExactGbk) {
  const Case cases[] = {
      {msg::init_succeeded(), "初始成功\r\n"},
      {msg::init_failed(), "初始失败\r\n"},
      {msg::executable_path_failed(), "获取当前执行路径失败\n"},
      {msg::load_failed(), "初始化失败\r\n"},
      {msg::task_listing_heading(), "\r\n配置文件内容：\r\n----------------\r\n"},
      {msg::task_started("10.0.0.1", 2121, "/data"), "开始下载任务 10.0.0.1:2121 /data\r\n"},
      {msg::task_started("", 0, ""), "开始下载任务 :0 \r\n"},
      {msg::task_failed(), "下载任务失败\r\n"},
      {msg::task_succeeded(0), "成功下载 0 个文件\r\n"},
      {msg::failed_task_count(2), "下载任务失败任务数为 2\r\n"},
      {msg::total_downloaded(12345), "总共下载 12345 个文件\r\n"},
      {msg::press_any_key(), "请按任意键继续. . .\r\n"},
      {msg::session_open_failed(), "cant not open intSession\r\n"},
      {msg::connect_failed(), "cant not open hIntSession\r\n"},
      {msg::listing_start_failed("/data/a", 12003), "获取路径 /data/a 下的文件失败，errno=12003\r\n"},
      {msg::listing_broken(12030), "获取 ftp 服务器文件列表失败 errno = 12030\r\n"},
      {msg::file_conflict("/d/name1.zip", 1), "下载文件 /d/name1.zip 失败，文件冲突, file_type = 1\r\n"},
      {msg::file_download_failed("/d/x"), "下载文件 /d/x 失败\r\n"},
      {msg::file_downloaded("/d/x"), "下载文件 /d/x\r\n"},
      {msg::directory_conflict("C:\\l\\a", 0), "创建目录 C:\\l\\a 失败，目录冲突, file_type = 0\r\n"},
      {msg::directory_create_failed("C:\\l\\a"), "创建目录 C:\\l\\a 失败\r\n"},
      {msg::directory_created("C:\\l\\a"), "创建目录 C:\\l\\a\r\n"},
      {msg::unsafe_name_skipped("/d/a?b"), "跳过不安全的文件名 /d/a?b\r\n"},
      {msg::unrecognized_listing_line("-rw-r--r-- 1 0 0 9 ??"), "无法识别的列表行 -rw-r--r-- 1 0 0 9 ??\r\n"},
      {msg::loop_skipped("/d/sub/up"), "跳过循环目录 /d/sub/up\r\n"},
      {msg::changing_file_skipped("/d/big.zip"), "跳过仍在变化的文件 /d/big.zip\r\n"},
      {msg::duplicate_name_skipped("/d/a"), "跳过重名的文件 /d/a\r\n"},
      {msg::unsendable_name_skipped("/d/a"), "跳过无法原样发给服务器的文件名 /d/a\r\n"},
      {msg::min_age_needs_time(60, "/d/a"),
       "服务器不提供文件的修改时间（MLSD 或 MDTM），无法按 min_age=60 检查 /d/a\r\n"},
      {msg::bad_setting("parallel", "abc"), "配置项 parallel=abc 的值无效\r\n"},
      {msg::tls_unsupported(), "Windows 版不支持 tls=1（FTP over TLS）\r\n"},
      {msg::tls_ca_unreadable("/etc/ca.pem"), "无法读取 tlsca 文件 /etc/ca.pem\r\n"},
      {msg::tls_refused(), "服务器不支持 TLS 加密（AUTH TLS 被拒绝）\r\n"},
      {msg::tls_certificate_failed(), "服务器证书验证失败\r\n"},
      {msg::retry_connect(12029, 1, 1, 3), "连接服务器失败，errno=12029，1 秒后重试（1/3）\r\n"},
      {msg::retry_listing("/d", 12030, 2, 2, 3), "获取路径 /d 下的文件失败，errno=12030，2 秒后重试（2/3）\r\n"},
      {msg::retry_fetch("/d/f", 12002, 30, 3, 3), "下载文件 /d/f 失败，errno=12002，30 秒后重试（3/3）\r\n"},
      {msg::progress_one("/d/f.zip", 79, 1536, 10485760, 1048576, 9),
       "下载 /d/f.zip  1.5 KiB / 10.0 MiB  1.0 MiB/s  剩余 00:09"},
      {msg::progress_one("/d/f.zip", 79, 5, std::nullopt, 0, std::nullopt), "下载 /d/f.zip  5 B  0 B/s"},
      {msg::progress_one("/d/f.zip", 79, 0, 3ull << 40, 1, 4000), "下载 /d/f.zip  0 B / 3.0 TiB  1 B/s  剩余 1:06:40"},
      // Shortened from the left, never inside a character, to stay within the width.
      {msg::progress_one(gbk("/数据/目录/名字.zip"), 38, 1, 2, 3, std::nullopt), "下载 ...录/名字.zip  1 B / 2 B  3 B/s"},
      {msg::progress_many(3, 2048, 0), "3 个文件下载中  2.0 KiB  0 B/s"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, gbk(c.expected_utf8)) << c.expected_utf8;
}

TEST(MessagesTest, ArgumentsPassThroughAsRawBytes) {
  // A GBK path from a listing is shown as it came, never re-encoded.
  const std::string gbk_name = "\xD6\xD0\xCE\xC4.zip";
  EXPECT_EQ(msg::file_downloaded(("/d/" + gbk_name).c_str()), gbk("下载文件 /d/") + gbk_name + "\r\n");
}

TEST(MessagesTest, HelpLinesAlignDescriptionsInColumn17) {
  const std::vector<std::string>& lines = msg::help_lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], gbk("--init          初始化配置文件\r\n"));
  EXPECT_EQ(lines[1], gbk("--cnf filepath  使用 filepath 绝对路径的文件启动程序\r\n"));
  EXPECT_EQ(lines[2], gbk("                无此参数则使用默认配置文件启动\r\n"));
  EXPECT_EQ(lines[3],
            gbk("                默认配置文件为运行目录里面的 Vandrisk.cnf 文件，可以通过 --init 参数生成\r\n"));
  for (const std::string& line : lines) {
    EXPECT_EQ(line[15], ' ') << line;
    EXPECT_NE(line[16], ' ') << line;
  }
}

TEST(MessagesTest, TaskListingEntryAlignsKeysAndShowsPassword) {
  EXPECT_EQ(msg::task_listing_entry("h", 65535, "u", "p", "/f", "D:\\l", "name", ".zip"),
            "host       h:65535\r\n"
            "user       u:p\r\n"
            "ftppath    /f\r\n"
            "localpath  D:\\l\r\n"
            "head       name\r\n"
            "tail       .zip\r\n"
            "----------------\r\n");
}

TEST(MessagesTest, TemplateHasSeventeenCrLfLinesWithoutPercent) {
  const std::vector<std::string> lines = msg::template_lines();
  ASSERT_EQ(lines.size(), 17u);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    EXPECT_EQ(line.find('%'), std::string::npos);
  }
  EXPECT_EQ(lines[0], gbk("# 下面的配置可以在同一个文件里面写多份，但必须是整组的添加，下载时会依次下载\r\n"));
  EXPECT_EQ(lines[3], gbk("# ftp 服务端口，默认端口21\r\n"));
  EXPECT_EQ(lines[9], gbk("# 要从哪个ftp路径下面下载文件，这里按照linux路径风格\r\n"));
  EXPECT_EQ(lines[11], gbk("# 下载文件的保存路径，这里是windows风格的路径\r\n"));
  EXPECT_EQ(lines[12], "localpath=D:\\data\\ftp\r\n");
  EXPECT_EQ(lines[15], gbk("# 要下载的文件的后缀\r\n"));
}

TEST(MessagesTest, TemplateSampleHostIsPrivateIpv4) {
  const std::string line = msg::template_lines()[2];
  ASSERT_EQ(line.rfind("host=", 0), 0u);
  unsigned a, b, c, d;
  char end[3] = {};
  ASSERT_EQ(std::sscanf(line.c_str(), "host=%u.%u.%u.%u%2c", &a, &b, &c, &d, end), 5) << line;
  EXPECT_STREQ(end, "\r\n");
  EXPECT_TRUE(a <= 255 && b <= 255 && c <= 255 && d <= 255);
  const bool private_range = a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168);
  EXPECT_TRUE(private_range) << line;
}

}  // namespace
}  // namespace vandrisk
