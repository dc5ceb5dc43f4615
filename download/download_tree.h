// The download of one task's remote directory tree.
#ifndef VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_
#define VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_

#include "config/task_list.h"
#include "download/large_file.h"
#include "download/console.h"
#include "ftp/ftp_client.h"

namespace vandrisk {

// What users never set; tests turn it down so that retries and the second
// look at a fresh file do not wait.
struct WalkTuning {
  long first_retry_delay_ms = 1000;
  long settle_ms = 1000;  // see FetchChecks
  LargeFileTuning large;
};

// Logs in to the task's server through `client`, lists the task's ftppath (the
// login directory when empty), mirrors each remote sub-directory under its
// localpath and walks it (depth-first, pre-order, in listing order), and
// fetches every remote file whose name starts with head and ends with tail
// and that does not exist locally yet. Remote paths are joined with '/',
// local ones with '\', without normalisation. Names that could leave the
// directory or cannot be sent ('/', '\', CR, LF, TAB, NUL) are skipped with a
// note. The task's settings (parallel, passive, retries, tls, tlsca) are
// read first; a value that cannot be used fails the task with one line.
//
// With parallel=N up to N connections list ahead and fetch at once, but what
// the console shows and what lands on disk, in which order, is what one
// connection doing one thing at a time gives: lines in walk order, a file
// under its final name only after every line before it, and after a failure
// nothing later in walk order.
//
// Returns the number of files fetched in the whole tree, or -1 at the first
// failure, after one message printed where it happened. Files fetched before
// a failure stay; a failed fetch leaves nothing under its name.
int download_tree(const TaskRecord& task, FtpClient& client, Console& console,
                  const WalkTuning& tuning = WalkTuning());

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_
