#include "cli/app.h"

#include <cstring>

#include "config/config_template.h"
#include "config/task_settings.h"
#include "download/names.h"
#include "download/download_tree.h"
#include "messages/messages.h"

namespace vandrisk {
namespace {

// The console is GBK whatever the configuration file was written in: with
// charset= a UTF-8 ftppath is shown in GBK. (A value the task cannot use
// fails the task later, with its own line.)
std::string shown_ftppath(const TaskRecord& task) {
  TransferSettings settings;
  BadSetting bad;
  if (!task.settings.charset || !read_settings(task.settings, settings, bad)) return task.ftppath;
  return NameRules(settings.charset, task).shown_text(task.ftppath);
}

}  // namespace

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
    msg::emit(env.out, msg::task_started(task->host, task->port, shown_ftppath(*task).c_str()));
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
