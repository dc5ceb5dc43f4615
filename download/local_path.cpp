#include "download/local_path.h"

#include "platform/platform.h"

namespace vandrisk {

FileType classify_local_path(const std::string& path) {
  switch (platform::local_kind(path)) {
    case platform::LocalKind::kRegular:
      return kFileTypeRegular;
    case platform::LocalKind::kDirectory:
      return kFileTypeDirectory;
    case platform::LocalKind::kOther:
      return kFileTypeOther;
    case platform::LocalKind::kMissing:
      break;
  }
  return kFileTypeMissing;
}

}  // namespace vandrisk
