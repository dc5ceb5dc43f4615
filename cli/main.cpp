#include <iostream>

#include "cli/app.h"
#include "ftp/ftp_client.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  vandrisk::AppEnv env{
      std::cout,
      std::cerr,
      vandrisk::platform::stderr_is_terminal(),
      vandrisk::platform::sleep_ms,
      [] { vandrisk::platform::wait_for_key(std::cout); },
      [] { return vandrisk::make_ftp_client(); },
  };
  return vandrisk::app_main(argc, argv, env);
}
