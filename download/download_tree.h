// The download of one task's remote directory tree.
#ifndef VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_
#define VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_

#include <ostream>

#include "config/task_list.h"
#include "ftp/ftp_client.h"

namespace vandrisk {

// Logs in to the task's server through `client`, lists the task's ftppath,
// mirrors each remote sub-directory under its localpath and walks it
// (depth-first, pre-order, in listing order), and fetches every remote file
// whose name starts with head and ends with tail and that does not exist
// locally yet. Remote paths are joined with '/', local ones with '\', without
// normalisation. Names that could leave the directory or cannot be sent
// ('/', '\', CR, LF, TAB, NUL) are skipped with a note.
//
// Returns the number of files fetched in the whole tree, or -1 at the first
// failure, after one message printed to out where it happened. Files fetched
// before a failure stay; a failed fetch leaves nothing under its name.
int download_tree(const TaskRecord& task, FtpClient& client, std::ostream& out);

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_
