// Names Windows cannot hold as they are. Pure byte logic, so it is built and
// tested on every OS; the Windows platform layer and the WinINet backend use
// it to refuse such names before anything reaches the file system.
#ifndef VANDRISK_PLATFORM_WINDOWS_NAMES_H_
#define VANDRISK_PLATFORM_WINDOWS_NAMES_H_

#include <string_view>

namespace vandrisk::platform {

// True when `name` (one path component, code page 936 bytes) would not be
// stored by Windows under exactly that name:
//   - empty;
//   - a byte below 0x20, or one of \ / : * ? " < > | outside a double-byte
//     character (a GBK trail byte may be '\' or '|' and is no separator);
//   - ending in a space or a dot (Windows drops them);
//   - a device name, whatever the case and whatever follows its first dot:
//     CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-COM9, LPT0-LPT9 (also with
//     blanks before the dot, as in "nul .txt").
// With `utf8` the name is UTF-8, where no byte of a longer character is ASCII.
bool is_unsafe_windows_name(std::string_view name, bool utf8 = false);

// The last component of a '\'- or '/'-separated local path (the whole text
// when it has no separator). Separators are found as Windows finds them:
// a trail byte of a double-byte character is none.
std::string_view last_path_component(std::string_view local_path, bool utf8 = false);

}  // namespace vandrisk::platform

#endif  // VANDRISK_PLATFORM_WINDOWS_NAMES_H_
