// The tool as the fault tests run it: the same program, but with the FTP
// client's timeouts cut to a few seconds (VANDRISK_TEST_TIMEOUT_MS, default
// 2000), without the 3 s waits after each task and at the end, so a case
// that must end by a timeout ends quickly, and with the wait before the
// second look at a fresh file set by VANDRISK_TEST_SETTLE_MS and the size
// from which a file is large by VANDRISK_TEST_LARGE_BYTES (defaults: the
// tool's own). Test-only: never installed.
#include <cstdlib>
#include <iostream>

#include "cli/app.h"
#include "ftp/ftp_client.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  long ms = 2000;
  if (const char* text = std::getenv("VANDRISK_TEST_TIMEOUT_MS")) ms = std::strtol(text, nullptr, 10);
  vandrisk::FtpTimeouts timeouts;
  timeouts.connect_ms = timeouts.response_ms = timeouts.accept_ms = timeouts.stall_ms = ms;
  vandrisk::WalkTuning tuning;
  if (const char* text = std::getenv("VANDRISK_TEST_SETTLE_MS")) {
    tuning.settle_ms = std::strtol(text, nullptr, 10);
  }
  if (const char* text = std::getenv("VANDRISK_TEST_LARGE_BYTES")) {
    tuning.large.threshold = std::strtoull(text, nullptr, 10);
  }
  vandrisk::AppEnv env{
      std::cout,
      std::cerr,
      vandrisk::platform::stderr_is_terminal(),
      [](unsigned) {},
      [] { vandrisk::platform::wait_for_key(std::cout); },
      [timeouts] { return vandrisk::make_ftp_client(timeouts); },
      tuning,
  };
  return vandrisk::app_main(argc, argv, env);
}
