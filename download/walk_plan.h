// What the walk does with each listed entry, decided in one place: the walk
// itself and the read-ahead of parallel transfers (which guesses what the walk
// will ask for next) both use it, so they cannot disagree.
#ifndef VANDRISK_DOWNLOAD_WALK_PLAN_H_
#define VANDRISK_DOWNLOAD_WALK_PLAN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "download/names.h"
#include "ftp/ftp_client.h"
#include "platform/platform.h"

namespace vandrisk {

// An entry's place in walk order: the index of each entry on the way down
// from the top listing (whose key is empty). Depth-first pre-order is the
// lexicographic order of these keys.
using WalkKey = std::vector<std::uint32_t>;

enum class Step {
  kLookLocally,       // a usable name: what happens depends on the local path
  kPassOver,          // ".", "..", an entry of unknown kind, a file filtered out or present
  kReportUnreadable,  // a listing line that could not be read
  kReportUnsafe,      // a name that cannot be used safely
  kReportDuplicate,   // a name whose local name another name of the listing takes
  kReportUnsendable,  // a name the FTP library altered: it cannot be asked for
  kReportLoop,        // a directory already on the path from the top: walked already
  kFetch,             // a file to fetch
  kFileConflict,      // a matching file where something else stands locally
  kCreateAndWalk,     // a directory missing locally: create it, then walk it
  kWalk,              // a directory present locally: walk it
  kDirectoryConflict, // a directory where a file or other object stands locally
};

// The identities (MLSD "unique" facts) of the directories from the top of
// the walk down to the one being walked, as far as the server told them.
using WalkPath = std::vector<std::string>;

// The step for entry `i` of a listing as far as its name and identity tell:
// unreadable lines, ".", "..", unsafe names (its bytes where they go to the
// server, its local name where it goes to the disk), a local name another
// entry takes, a directory whose identity is on `path` (a link back up,
// which a server that resolves links lists as a directory); kLookLocally for
// every other entry.
Step plan_name_step(const FtpEntry& entry, const ListingNames& names, std::size_t i,
                    const NameRules& rules, const WalkPath& path);

// The step for an entry whose name step was kLookLocally, given what stands
// at its local path; `match` is what the rules' head and tail are held
// against (ListingNames::match).
Step plan_local_step(const FtpEntry& entry, const std::string& match, platform::LocalKind local,
                     const NameRules& rules);

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_WALK_PLAN_H_
