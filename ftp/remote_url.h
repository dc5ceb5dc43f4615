// ftp:// URLs for libcurl from the walk's host, port and '/'-joined remote paths.
#ifndef VANDRISK_FTP_REMOTE_URL_H_
#define VANDRISK_FTP_REMOTE_URL_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace vandrisk {

// Percent-encodes every byte except A-Z a-z 0-9 - . _ ~ (so '/', '%', '#',
// '?', ';', spaces and bytes >= 0x80 all become %XX).
std::string percent_encode_segment(std::string_view segment);

// The URL of a remote directory (ends in '/') or file. The path is encoded
// segment by segment, '/' kept. A path starting with '/' is absolute on the
// server ("ftp://h:p//abs/dir/"); otherwise it is relative to the login
// directory, and an empty path is the login directory itself ("ftp://h:p/").
// Port 0 means 21. A host holding ':' (IPv6 literal) is put in brackets
// unless it already is.
// Empty segments ("/x//a") and "."/".." segments are passed on as they are;
// libcurl resolves dot segments itself unless CURLOPT_PATH_AS_IS is set.
std::string ftp_directory_url(const std::string& host, std::uint16_t port,
                              const std::string& remote_dir);
std::string ftp_file_url(const std::string& host, std::uint16_t port,
                         const std::string& remote_path);

}  // namespace vandrisk

#endif  // VANDRISK_FTP_REMOTE_URL_H_
