// walk_bench: one download task, run in process the way the tool's task loop
// runs it, without the tool's 3 s pauses after each task and at the end.
//
//   walk_bench HOST PORT REMOTE_DIR LOCAL_DIR [HEAD TAIL [USER PWD]]
//
// Prints the number of files fetched (or -1) on stdout; the console texts the
// walk emits go to /dev/null. Exit status 0 on success, 1 when the task
// failed, 2 on a usage error. LOCAL_DIR may be written with '/' or '\'.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "download/download_tree.h"
#include "ftp/ftp_client.h"

namespace {

int usage() {
  std::cerr << "usage: walk_bench HOST PORT REMOTE_DIR LOCAL_DIR [HEAD TAIL [USER PWD]]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 7 && argc != 9) return usage();
  char* end = nullptr;
  const unsigned long port = std::strtoul(argv[2], &end, 10);
  if (*argv[2] == '\0' || *end != '\0' || port > 65535) return usage();

  // The configuration file holds Windows-style local paths; keep the same
  // form so the walk joins and maps paths exactly as in the tool.
  std::string local_dir = argv[4];
  for (char& c : local_dir) {
    if (c == '/') c = '\\';
  }
  vandrisk::TaskRecord task;
  std::snprintf(task.host, sizeof task.host, "%s", argv[1]);
  task.port = static_cast<std::uint16_t>(port);
  std::snprintf(task.ftppath, sizeof task.ftppath, "%s", argv[3]);
  std::snprintf(task.localpath, sizeof task.localpath, "%s", local_dir.c_str());
  if (argc >= 7) {
    std::snprintf(task.head, sizeof task.head, "%s", argv[5]);
    std::snprintf(task.tail, sizeof task.tail, "%s", argv[6]);
  }
  if (argc == 9) {
    std::snprintf(task.user, sizeof task.user, "%s", argv[7]);
    std::snprintf(task.pwd, sizeof task.pwd, "%s", argv[8]);
  }

  std::ofstream console("/dev/null", std::ios::binary);
  if (!console) {
    std::cerr << "walk_bench: cannot open /dev/null\n";
    return 2;
  }
  // One client per task, as the task loop creates it.
  std::unique_ptr<vandrisk::FtpClient> client = vandrisk::make_ftp_client();
  vandrisk::Console task_console(console, std::cerr);
  const int count = client ? vandrisk::download_tree(task, *client, task_console) : -1;
  std::cout << count << '\n';
  return count < 0 ? 1 : 0;
}
