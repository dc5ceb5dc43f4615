// walk_bench: one download task, run in process the way the tool's task loop
// runs it, without the tool's 3 s pauses after each task and at the end.
//
//   walk_bench HOST PORT REMOTE_DIR LOCAL_DIR [HEAD TAIL [USER PWD]]
//
// Prints the number of files fetched (or -1) on stdout; the console texts the
// walk emits go to /dev/null. Exit status 0 on success, 1 when the task
// failed, 2 on a usage error. LOCAL_DIR may be written with '/' or '\'.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "cli/app.h"
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
  const char* head = argc >= 7 ? argv[5] : "";
  const char* tail = argc >= 7 ? argv[6] : "";
  const char* user = argc == 9 ? argv[7] : nullptr;
  const char* pwd = argc == 9 ? argv[8] : nullptr;

  std::ofstream console("/dev/null", std::ios::binary);
  if (!console) {
    std::cerr << "walk_bench: cannot open /dev/null\n";
    return 2;
  }
  // One client per task, as the task loop creates it.
  std::unique_ptr<vandrisk::FtpClient> client = vandrisk::make_ftp_client();
  const int count = vandrisk::download_tree(
      *client, console, vandrisk::kSessionAgent, argv[1], static_cast<std::uint16_t>(port), user,
      pwd, argv[3], local_dir.c_str(), head, tail);
  std::cout << count << '\n';
  return count < 0 ? 1 : 0;
}
