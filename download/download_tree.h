// The recursive download of one remote directory tree.
#ifndef VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_
#define VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_

#include <cstdint>
#include <ostream>

#include "ftp/ftp_client.h"

namespace vandrisk {

// Lists remote_dir, mirrors each remote sub-directory under local_dir and walks
// it (depth-first, pre-order, in listing order), and fetches every remote file
// whose name starts with head and ends with tail and that does not exist
// locally yet. Remote paths are joined with '/', local ones with '\', without
// normalisation. Names that could leave the directory or cannot be sent
// ('/', '\', CR, LF, TAB, NUL) are skipped with a note.
//
// Returns the number of files fetched in the whole tree, or -1 at the first
// failure, after one message printed to out where it happened. Files fetched
// before a failure stay; a failed fetch leaves nothing under its name.
// user and pwd are both given or both null (anonymous).
int download_tree(FtpClient& client, std::ostream& out, const char* agent, const char* host,
                  std::uint16_t port, const char* user, const char* pwd, const char* remote_dir,
                  const char* local_dir, const char* head, const char* tail);

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_DOWNLOAD_TREE_H_
