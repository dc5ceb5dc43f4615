// The libcurl backend of the FTP client layer (POSIX builds). Callers use
// make_ftp_client() from ftp_client.h; this header only exposes the pieces
// of the backend that its own tests pin down.
#ifndef VANDRISK_FTP_FTP_CLIENT_CURL_H_
#define VANDRISK_FTP_FTP_CLIENT_CURL_H_

#include <curl/curl.h>

#include <string>

#include "ftp/ftp_errors.h"

namespace vandrisk {

// The FtpError for the result of one libcurl FTP transfer. `response_code`
// is the transfer's last FTP reply code (CURLINFO_RESPONSE_CODE, 0 when no
// reply came). Never returns kNoMoreFiles: that code only ends a listing.
// The table itself is documented in ftp_client_curl.cpp.
FtpError map_curl_result(CURLcode code, long response_code);

// The server path libcurl is asked for. `entry_path` is the login directory
// as PWD reported it (empty when unknown). An absolute `path` is returned
// unchanged; a relative one (also the empty path, the login directory
// itself) is joined to an absolute entry_path, so that reaching it takes a
// single CWD even on a reused connection. With an entry_path that is not
// absolute (or empty) `path` is returned unchanged.
std::string resolve_remote_path(const std::string& entry_path, const std::string& path);

}  // namespace vandrisk

#endif  // VANDRISK_FTP_FTP_CLIENT_CURL_H_
