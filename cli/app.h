// The program: informational options, configuration, the task loop, the
// summary and the exit status.
#ifndef VANDRISK_CLI_APP_H_
#define VANDRISK_CLI_APP_H_

#include <functional>
#include <memory>
#include <ostream>

#include "config/task_list.h"
#include "download/download_tree.h"
#include "ftp/ftp_client.h"

namespace vandrisk {

// What the program needs from its surroundings, so that tests can run it in
// process without sleeping, waiting for keys or touching the network.
struct AppEnv {
  std::ostream& out;
  std::ostream& err;  // notes (retries); never the tool's own lines
  bool progress;      // draw the progress line on err (a terminal)
  std::function<void(unsigned ms)> sleep_ms;
  std::function<void()> wait_for_key;
  // One client per task; nullptr when the FTP library cannot start.
  std::function<std::unique_ptr<FtpClient>()> make_client;
  WalkTuning tuning = WalkTuning();
};

// When argv[1] is exactly --help, -h or --init: carries it out (help printed;
// template written and its outcome printed) and returns true. Otherwise does
// nothing and returns false.
bool handle_info_option(int argc, const char* const* argv, std::ostream& out);

// Runs every task in order and prints the summary. Returns the exit status:
// 1 when any task failed, else 0.
int run_tasks(const TaskList& tasks, AppEnv& env);

// The whole program; returns the exit status.
int app_main(int argc, const char* const* argv, AppEnv& env);

}  // namespace vandrisk

#endif  // VANDRISK_CLI_APP_H_
