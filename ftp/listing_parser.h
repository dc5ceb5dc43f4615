// Turns the text of a directory listing into entries (name, kind, size).
//
// MLSD (RFC 3659 facts) and LIST in the Unix `ls -l` and DOS/IIS dialects.
// A LIST line that looks like an entry (a mode string, a DOS date) but cannot
// be read comes back as kUnrecognized, holding the whole line; other lines
// ("total N", banners) are passed over. Nothing is fatal.
//
// Names come back byte for byte (blanks, CR, NUL, '/' and '\' included) and
// "." / ".." of an `ls -a` style LIST come back like any directory: vetting
// names is the caller's job. The size is the MLSD size= fact or the LIST size
// column; device files and sizes past 64 bits give none.
#ifndef VANDRISK_FTP_LISTING_PARSER_H_
#define VANDRISK_FTP_LISTING_PARSER_H_

#include <optional>
#include <string_view>
#include <vector>

#include "ftp/ftp_client.h"

namespace vandrisk {

enum class ListingFormat { kMlsd, kList };

// One MLSD line, without its line end. nullopt for cdir/pdir entries and for
// lines that are not "facts SP name". The "unique" fact, when there, goes to
// the entry's `unique`.
std::optional<FtpEntry> parse_mlsd_line(std::string_view line);

// One LIST line (Unix or DOS dialect), without its line end. nullopt for
// "total N" and for lines that look like no entry.
std::optional<FtpEntry> parse_list_line(std::string_view line);

// A whole listing body: lines end in LF or CR LF (a CR before the LF is not
// part of the name); entries come back in the order the server sent them,
// and an MLSD "type=cdir" line's unique fact as the listing's own.
FtpListing parse_listing(std::string_view body, ListingFormat format);

// Whether a FEAT reply lists UTF8 (RFC 2640): a line " UTF8", in any case.
bool feat_lists_utf8(std::string_view reply);

}  // namespace vandrisk

#endif  // VANDRISK_FTP_LISTING_PARSER_H_
