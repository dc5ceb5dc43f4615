// Times servers tell of their files: MLSD/MLST "modify" facts, MDTM replies
// and LIST dates, and what they say about a file's age.
#ifndef VANDRISK_FTP_REMOTE_TIME_H_
#define VANDRISK_FTP_REMOTE_TIME_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "ftp/ftp_client.h"

namespace vandrisk {

// Seconds since 1970-01-01 UTC of an RFC 3659 time-val
// ("YYYYMMDDHHMMSS", maybe ".sss" after it); nullopt when it is none.
std::optional<std::int64_t> time_val_seconds(std::string_view text);

// Whether the listing alone shows that the entry has not changed for a good
// while, so that looking again cannot find it changing: an MLSD time more
// than an hour before `now` (seconds since 1970, UTC, this machine's clock),
// or a LIST date more than a day before `now` in whatever zone the server
// keeps its clock. An entry without a readable time is never old.
bool listed_as_old(const EntryTime& time, std::int64_t now);

}  // namespace vandrisk

#endif  // VANDRISK_FTP_REMOTE_TIME_H_
