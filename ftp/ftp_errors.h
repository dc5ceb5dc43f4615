// The one error-code space of the FTP client layer. The numbers are those of the
// Windows FTP library (WinINet), so every build reports the same codes; the
// libcurl backend maps its results onto them (see ftp_client_curl.cpp).
#ifndef VANDRISK_FTP_FTP_ERRORS_H_
#define VANDRISK_FTP_FTP_ERRORS_H_

#include <cstdint>

namespace vandrisk {

using FtpError = std::uint32_t;

namespace ftp_errors {
constexpr FtpError kNone = 0;
constexpr FtpError kNoMoreFiles = 18;        // end of a listing, and only that
constexpr FtpError kTimeout = 12002;         // the server stopped answering
constexpr FtpError kInternalError = 12004;   // anything not listed here
constexpr FtpError kExtendedError = 12003;   // the server refused a command (4xx/5xx)
constexpr FtpError kNameNotResolved = 12007; // host name not resolved
constexpr FtpError kLoginFailure = 12015;    // login refused
constexpr FtpError kCannotConnect = 12029;   // no TCP connection to the server
constexpr FtpError kConnectionAborted = 12030; // connection dropped
}  // namespace ftp_errors

}  // namespace vandrisk

#endif  // VANDRISK_FTP_FTP_ERRORS_H_
