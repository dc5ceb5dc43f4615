#include "download/walk_plan.h"

#include <algorithm>

#include "download/filters.h"

namespace vandrisk {
namespace {

// A name the walk must not use: one the local file system cannot hold as one
// name in this directory (a separator would put it elsewhere), one that CR,
// LF, TAB or NUL would cut or split in the command that names it, and the
// empty name, which would make the directory its own child.
bool is_unsafe_name(const std::string& name, const std::string& local, bool utf8) {
  return name.empty() || name.find_first_of(std::string("\r\n\t\0", 4)) != std::string::npos ||
         local.empty() || local == "." || local == ".." ||
         platform::is_unsafe_local_name(local, utf8);
}

}  // namespace

Step plan_name_step(const FtpEntry& entry, const ListingNames& names, std::size_t i,
                    const NameRules& rules, const WalkPath& path) {
  if (entry.kind == EntryKind::kUnrecognized) return Step::kReportUnreadable;
  if (entry.name == "." || entry.name == "..") return Step::kPassOver;
  // Without charset= such a name stays one of the unsafe ones, as always.
  if (entry.name_altered && !rules.raw()) return Step::kReportUnsendable;
  if (is_unsafe_name(entry.name, names.local(i), rules.utf8_local())) return Step::kReportUnsafe;
  if (names.taken(i)) return Step::kReportDuplicate;
  if (entry.kind == EntryKind::kDirectory && !entry.unique.empty() &&
      std::find(path.begin(), path.end(), entry.unique) != path.end()) {
    return Step::kReportLoop;
  }
  return Step::kLookLocally;
}

Step plan_local_step(const FtpEntry& entry, const std::string& match, platform::LocalKind local,
                     const NameRules& rules) {
  using platform::LocalKind;
  if (entry.kind == EntryKind::kFile) {
    if (local == LocalKind::kRegular) return Step::kPassOver;  // fetched by an earlier run
    if (!starts_with(match.c_str(), rules.head().c_str()) ||
        !ends_with(match.c_str(), rules.tail().c_str())) {
      return Step::kPassOver;
    }
    return local == LocalKind::kMissing ? Step::kFetch : Step::kFileConflict;
  }
  if (entry.kind == EntryKind::kDirectory) {
    // Directories are not filtered: every one is mirrored and walked.
    if (local == LocalKind::kRegular || local == LocalKind::kOther) return Step::kDirectoryConflict;
    return local == LocalKind::kMissing ? Step::kCreateAndWalk : Step::kWalk;
  }
  return Step::kPassOver;  // a link of unknown kind, a device...
}

}  // namespace vandrisk
