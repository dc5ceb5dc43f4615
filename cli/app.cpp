#include "cli/app.h"

#include <cstring>

#include "config/config_template.h"
#include "download/download_tree.h"
#include "messages/messages.h"

namespace vandrisk {

bool handle_info_option(int argc, const char* const* argv, std::ostream& out) {
  if (argc <= 1) return false;
  const char* option = argv[1];
  if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
    for (const std::string& line : msg::help_lines()) msg::emit(out, line);
    return true;
  }
  if (std::strcmp(option, "--init") == 0) {
    msg::emit(out, write_template(out) ? msg::init_succeeded() : msg::init_failed());
    return true;
  }
  return false;
}

int run_tasks(const TaskList& tasks, AppEnv& env) {
  Console console(env.out, env.err, env.progress);
  int failed = 0;
  int total = 0;
  for (const TaskRecord* task = tasks.first(); task; task = task->next.get()) {
    msg::emit(env.out, msg::task_started(task->host, task->port, task->ftppath));
    int count = -1;
    if (std::unique_ptr<FtpClient> client = env.make_client()) {
      count = download_tree(*task, *client, console, env.tuning);
    } else {
      msg::emit(env.out, msg::session_open_failed());  // the FTP library did not start
    }
    if (count < 0) {
      msg::emit(env.out, msg::task_failed());
      ++failed;
      continue;
    }
    msg::emit(env.out, msg::task_succeeded(count));
    env.sleep_ms(3000);
    total += count;
  }
  if (failed > 0) {
    msg::emit(env.out, msg::failed_task_count(failed));
    env.wait_for_key();
    return 1;
  }
  msg::emit(env.out, msg::total_downloaded(total));
  env.sleep_ms(3000);
  return 0;
}

int app_main(int argc, const char* const* argv, AppEnv& env) {
  if (handle_info_option(argc, argv, env.out)) return 0;
  const char* path = nullptr;
  if (argc >= 3 && std::strcmp(argv[1], "--cnf") == 0) path = argv[2];
  TaskList tasks;
  if (!load_tasks(path, tasks, env.out)) {
    msg::emit(env.out, msg::load_failed());
    env.wait_for_key();
    return 0;
  }
  print_tasks(tasks, env.out);
  return run_tasks(tasks, env);
}

}  // namespace vandrisk
