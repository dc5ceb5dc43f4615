// What the walk finds at a local path before it creates or fetches anything.
#ifndef VANDRISK_DOWNLOAD_LOCAL_PATH_H_
#define VANDRISK_DOWNLOAD_LOCAL_PATH_H_

#include <string>

namespace vandrisk {

// The state of a local path, as the console messages show it.
enum FileType : int {
  kFileTypeRegular = 0,    // a regular file: the remote file counts as fetched
  kFileTypeDirectory = 1,  // a directory
  kFileTypeMissing = 2,    // nothing there (or the path cannot be examined)
  kFileTypeOther = 3,      // a device, FIFO, socket or other object
};

// Classifies a '\'-separated local path (links are followed).
FileType classify_local_path(const std::string& path);

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_LOCAL_PATH_H_
