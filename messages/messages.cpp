// Compiled with -fexec-charset=GBK: the narrow literals below become code page
// 936 bytes in the binary. Keep every console text of the tool in this file.
#include "messages/messages.h"

#include <cstdarg>
#include <cstdio>

namespace vandrisk::msg {
namespace {

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), fmt, args);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(args);
  return text;
}

// Sample server address for the template: any private-network IPv4 address.
constexpr const char kTemplateSampleHost[] = "192.168.1.100";

}  // namespace

void emit(std::ostream& out, std::string_view text) {
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
}

const std::vector<std::string>& help_lines() {
  static const std::vector<std::string> lines = {
      "--init          初始化配置文件\r\n",
      "--cnf filepath  使用 filepath 绝对路径的文件启动程序\r\n",
      "                无此参数则使用默认配置文件启动\r\n",
      "                默认配置文件为运行目录里面的 Vandrisk.cnf 文件，可以通过 --init 参数生成\r\n",
  };
  return lines;
}

std::string init_succeeded() { return "初始成功\r\n"; }
std::string init_failed() { return "初始失败\r\n"; }

std::string executable_path_failed() { return "获取当前执行路径失败\n"; }
std::string load_failed() { return "初始化失败\r\n"; }

std::string task_listing_heading() { return "\r\n配置文件内容：\r\n----------------\r\n"; }

std::string task_listing_entry(const char* host, unsigned port, const char* user,
                               const char* pwd, const char* ftppath, const char* localpath,
                               const char* head, const char* tail) {
  std::string text = format("%-9s  %s:%u\r\n", "host", host, port);
  text += format("%-9s  %s:%s\r\n", "user", user, pwd);
  text += format("%-9s  %s\r\n", "ftppath", ftppath);
  text += format("%-9s  %s\r\n", "localpath", localpath);
  text += format("%-9s  %s\r\n", "head", head);
  text += format("%-9s  %s\r\n----------------\r\n", "tail", tail);
  return text;
}

std::vector<std::string> template_lines() {
  return {
      "# 下面的配置可以在同一个文件里面写多份，但必须是整组的添加，下载时会依次下载\r\n",
      "# ftp 服务器地址\r\n",
      format("host=%s\r\n", kTemplateSampleHost),
      "# ftp 服务端口，默认端口21\r\n",
      "port=21\r\n",
      "# ftp 登录账号\r\n",
      "user=user\r\n",
      "# ftp 登录密码\r\n",
      "pwd=586\r\n",
      "# 要从哪个ftp路径下面下载文件，这里按照linux路径风格\r\n",
      "ftppath=/data\r\n",
      "# 下载文件的保存路径，这里是windows风格的路径\r\n",
      "localpath=D:\\data\\ftp\r\n",
      "# 要下载的文件前缀\r\n",
      "head=name\r\n",
      "# 要下载的文件的后缀\r\n",
      "tail=.zip\r\n",
  };
}

std::string task_started(const char* host, unsigned port, const char* ftppath) {
  return format("开始下载任务 %s:%u %s\r\n", host, port, ftppath);
}
std::string task_failed() { return "下载任务失败\r\n"; }
std::string task_succeeded(int count) { return format("成功下载 %d 个文件\r\n", count); }
std::string failed_task_count(int failed) { return format("下载任务失败任务数为 %d\r\n", failed); }
std::string total_downloaded(int total) { return format("总共下载 %d 个文件\r\n", total); }
std::string press_any_key() { return "请按任意键继续. . .\r\n"; }

std::string session_open_failed() { return "cant not open intSession\r\n"; }
std::string connect_failed() { return "cant not open hIntSession\r\n"; }
std::string listing_start_failed(const char* remote_dir, unsigned long error) {
  return format("获取路径 %s 下的文件失败，errno=%lu\r\n", remote_dir, error);
}
std::string listing_broken(unsigned long error) {
  return format("获取 ftp 服务器文件列表失败 errno = %lu\r\n", error);
}
std::string file_conflict(const char* remote_path, int file_type) {
  return format("下载文件 %s 失败，文件冲突, file_type = %d\r\n", remote_path, file_type);
}
std::string file_download_failed(const char* remote_path) {
  return format("下载文件 %s 失败\r\n", remote_path);
}
std::string file_downloaded(const char* remote_path) { return format("下载文件 %s\r\n", remote_path); }
std::string directory_conflict(const char* local_path, int file_type) {
  return format("创建目录 %s 失败，目录冲突, file_type = %d\r\n", local_path, file_type);
}
std::string directory_create_failed(const char* local_path) {
  return format("创建目录 %s 失败\r\n", local_path);
}
std::string directory_created(const char* local_path) { return format("创建目录 %s\r\n", local_path); }
std::string unsafe_name_skipped(const char* remote_path) {
  return format("跳过不安全的文件名 %s\r\n", remote_path);
}
std::string unrecognized_listing_line(const char* line) {
  return format("无法识别的列表行 %s\r\n", line);
}

std::string changing_file_skipped(const char* remote_path) {
  return format("跳过仍在变化的文件 %s\r\n", remote_path);
}
std::string duplicate_name_skipped(const char* remote_path) {
  return format("跳过重名的文件 %s\r\n", remote_path);
}
std::string unsendable_name_skipped(const char* remote_path) {
  return format("跳过无法原样发给服务器的文件名 %s\r\n", remote_path);
}
std::string min_age_needs_time(int min_age, const char* remote_path) {
  return format("服务器不提供文件的修改时间（MLSD 或 MDTM），无法按 min_age=%d 检查 %s\r\n", min_age,
                remote_path);
}

std::string loop_skipped(const char* remote_path) {
  return format("跳过循环目录 %s\r\n", remote_path);
}

std::string bad_setting(const char* key, const char* value) {
  return format("配置项 %s=%s 的值无效\r\n", key, value);
}
std::string tls_unsupported() { return "Windows 版不支持 tls=1（FTP over TLS）\r\n"; }
std::string tls_ca_unreadable(const char* path) {
  return format("无法读取 tlsca 文件 %s\r\n", path);
}
std::string tls_refused() { return "服务器不支持 TLS 加密（AUTH TLS 被拒绝）\r\n"; }
std::string tls_certificate_failed() { return "服务器证书验证失败\r\n"; }

namespace {

// 1023 B, 4.0 KiB, 12.3 MiB, 1.5 GiB.
std::string bytes_text(std::uint64_t bytes) {
  if (bytes < 1024) return format("%llu B", static_cast<unsigned long long>(bytes));
  const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
    value /= 1024;
    ++unit;
  }
  return format("%.1f %s", value, units[unit]);
}

std::string clock_text(std::uint64_t seconds) {
  if (seconds >= 3600) {
    return format("%llu:%02u:%02u", static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  }
  return format("%02u:%02u", static_cast<unsigned>(seconds / 60), static_cast<unsigned>(seconds % 60));
}

// The last bytes of a GBK name that fit in `room`, behind "...": cut only
// between characters, which only a walk from the start can tell.
std::string shortened(const std::string& name, std::size_t room) {
  if (name.size() <= room) return name;
  if (room <= 3) return std::string(room, '.');
  const std::size_t keep_from = name.size() - (room - 3);
  std::size_t at = 0;
  while (at < keep_from) {
    at += static_cast<unsigned char>(name[at]) >= 0x81 && at + 1 < name.size() ? 2 : 1;
  }
  return "..." + name.substr(at);
}

}  // namespace

std::string progress_one(const std::string& name, std::size_t width, std::uint64_t done,
                         std::optional<std::uint64_t> size, std::uint64_t bytes_per_second,
                         std::optional<std::uint64_t> seconds_left) {
  std::string rest = "  " + bytes_text(done);
  if (size) rest += " / " + bytes_text(*size);
  rest += "  " + bytes_text(bytes_per_second) + "/s";
  if (seconds_left) rest += format("  剩余 %s", clock_text(*seconds_left).c_str());
  const std::string head = "下载 ";
  const std::size_t room = width > head.size() + rest.size() ? width - head.size() - rest.size() : 0;
  return head + shortened(name, room) + rest;
}

std::string progress_many(int transfers, std::uint64_t done, std::uint64_t bytes_per_second) {
  return format("%d 个文件下载中  %s  %s/s", transfers, bytes_text(done).c_str(),
                bytes_text(bytes_per_second).c_str());
}

std::string retry_connect(unsigned long error, unsigned seconds, int attempt, int attempts) {
  return format("连接服务器失败，errno=%lu，%u 秒后重试（%d/%d）\r\n", error, seconds, attempt,
                attempts);
}
std::string retry_listing(const char* remote_dir, unsigned long error, unsigned seconds,
                          int attempt, int attempts) {
  return format("获取路径 %s 下的文件失败，errno=%lu，%u 秒后重试（%d/%d）\r\n", remote_dir, error,
                seconds, attempt, attempts);
}
std::string retry_fetch(const char* remote_path, unsigned long error, unsigned seconds,
                        int attempt, int attempts) {
  return format("下载文件 %s 失败，errno=%lu，%u 秒后重试（%d/%d）\r\n", remote_path, error, seconds,
                attempt, attempts);
}

}  // namespace vandrisk::msg
