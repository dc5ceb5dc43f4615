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
constexpr FtpError kOperationCancelled = 12017; // stopped by the task itself
constexpr FtpError kInvalidCertificate = 12045; // TLS: the server's certificate did not verify
constexpr FtpError kSecureChannelError = 12157; // TLS: refused (AUTH TLS) or handshake failed
}  // namespace ftp_errors

// Whether trying again may succeed: the server stopped answering, a
// connection dropped, or the server said "not now" (421 service not
// available, 425 no data connection, 426 transfer aborted, 450/451 action
// not taken for now). A refusal that stays one (550, 530...) is not.
constexpr bool is_transient(FtpError code, int reply) {
  if (code == ftp_errors::kTimeout || code == ftp_errors::kConnectionAborted ||
      code == ftp_errors::kCannotConnect) {
    return true;
  }
  return code == ftp_errors::kExtendedError &&
         (reply == 421 || reply == 425 || reply == 426 || reply == 450 || reply == 451);
}

}  // namespace vandrisk

#endif  // VANDRISK_FTP_FTP_ERRORS_H_
