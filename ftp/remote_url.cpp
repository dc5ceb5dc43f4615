#include "ftp/remote_url.h"

#include <cstddef>

namespace vandrisk {
namespace {

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Each segment is encoded on its own so that a '/' inside the path stays a
// separator; empty segments stay empty, since libcurl hands "a//b" to the
// server's CWD unchanged and the server decides what it means.
std::string encode_path(std::string_view path) {
  std::string out;
  out.reserve(path.size() * 3);
  std::size_t begin = 0;
  while (true) {
    const std::size_t slash = path.find('/', begin);
    out += percent_encode_segment(path.substr(begin, slash - begin));
    if (slash == std::string_view::npos) break;
    out.push_back('/');
    begin = slash + 1;
  }
  return out;
}

// The authority and the one '/' that separates it from the path: libcurl
// takes what follows that '/' as the path from the login directory, so an
// absolute server path shows up as a second '/'.
std::string url_prefix(const std::string& host, std::uint16_t port) {
  constexpr std::uint16_t kFtpPort = 21;
  std::string url = "ftp://";
  if (host.find(':') != std::string::npos && host.front() != '[') {
    url += '[' + host + ']';
  } else {
    url += host;
  }
  url += ':';
  url += std::to_string(port == 0 ? kFtpPort : port);
  url += '/';
  return url;
}

}  // namespace

std::string percent_encode_segment(std::string_view segment) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(segment.size() * 3);
  for (const char ch : segment) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_unreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string ftp_directory_url(const std::string& host, std::uint16_t port,
                              const std::string& remote_dir) {
  std::string url = url_prefix(host, port) + encode_path(remote_dir);
  if (!remote_dir.empty() && remote_dir.back() != '/') url.push_back('/');
  return url;
}

std::string ftp_file_url(const std::string& host, std::uint16_t port,
                         const std::string& remote_path) {
  return url_prefix(host, port) + encode_path(remote_path);
}

}  // namespace vandrisk
