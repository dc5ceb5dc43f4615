// How a remote name's bytes are read under a task's charset= key, and the
// console text and local names made from them. Pure functions of (bytes,
// charset): no state carries from one name to the next, so a name always
// gets the same local name, whatever else a listing holds, and a rerun finds
// what the last run stored. Commands back to the server never go through
// here: they use the listed bytes as they are.
//
// Built and tested on every OS; the code page tables themselves come from
// the OS (platform::decode_char / encode_char).
#ifndef VANDRISK_FTP_NAME_CODEC_H_
#define VANDRISK_FTP_NAME_CODEC_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrisk {

// The charset= key. kRaw (also when the key is absent) reads nothing: names
// stay bytes everywhere, exactly as without the key. kAuto reads each name
// on its own: strict UTF-8 if it is that, else GBK (code page 936). The others
// read only their own encoding: UTF-8, or Windows code page 936, 54936, 950,
// 932 or 949.
enum class Charset { kRaw, kAuto, kUtf8, kGbk, kGb18030, kBig5, kShiftJis, kEucKr };

// The key's value, exactly (lower case): "raw", "auto", "utf-8", "gbk",
// "gb18030", "big5", "shift_jis", "euc-kr". False, `charset` unchanged, for
// anything else.
bool parse_charset(std::string_view value, Charset& charset);

// False when this OS cannot read the charset's code page (Wine 8 has no
// GB18030): every name with a byte above 0x7F would stay undecoded, so the
// key is better refused on its line.
bool charset_available(Charset charset);

// DecodedName::code_page for a name read as UTF-8, and for one read as GBK
// (under kAuto that is the fallback, the reading a collision gives way to).
constexpr unsigned kCodePageUtf8 = 65001;
constexpr unsigned kCodePageGbk = 936;

// The Windows code page a charset reads (936 for kGbk...); 0 for kRaw,
// kAuto and kUtf8.
unsigned code_page_of(Charset charset);

// One remote name read under a charset.
struct DecodedName {
  struct Char {
    char32_t code;         // the character
    std::uint32_t offset;  // where its bytes start in the server's name
    std::uint8_t length;   // how many of the server's bytes it came from (1 to 4)
  };
  // False when the name cannot be read in the charset, and always for kRaw;
  // `chars` is then empty. An empty name is decoded (and has no chars).
  bool decoded = false;
  // How it was read: kCodePageUtf8, or the Windows code page number; 0 when
  // not decoded.
  unsigned code_page = 0;
  std::vector<Char> chars;
};

// Reads a name. UTF-8 is strict: no overlong forms, no surrogates, nothing
// above U+10FFFF, no sequence cut short. A code page reading holds only
// characters that spell back to exactly the bytes they came from: where a
// table reads two spellings as one character (Big5's duplicate hanzi, the
// NEC and IBM rows of 932), the other spelling leaves the name undecoded, so
// two server names never read the same within one code page. Under kAuto
// the UTF-8 and the GBK spelling of a text do read the same: the caller
// tells them apart by code_page.
DecodedName decode_name(std::string_view bytes, Charset charset);

// A configuration text (ftppath, localpath, head, tail): UTF-8 if it is
// valid UTF-8, else GBK; nullopt when it is neither.
std::optional<std::u32string> decode_config_value(std::string_view bytes);

// The name as the console shows it, in code page 936 bytes. Control bytes
// (below 0x20, and 0x7F) show as '?'. kRaw: the bytes as they are otherwise,
// as without the key. A decoded name: its characters in GBK, and for each
// character GBK lacks, %HH (upper-case hex) of the server's bytes for it; a
// name read as GBK shows its own bytes, so a GBK server's names look exactly
// as with kRaw. An undecoded name: printable ASCII as it is, every other byte
// as %HH.
std::string console_text(std::string_view bytes, Charset charset);

// The local name, one injective function of (bytes, charset) for a fixed
// charset, except that under kAuto a UTF-8 and a GBK name can meet (see
// decode_name). Apart from kRaw:
//   - a decoded name is its characters, each '%' written as "%25";
//   - an undecoded name keeps printable ASCII except '%', and every other
//     byte becomes %HH (upper-case hex); every charset reads bytes below
//     0x80 as ASCII, so such a name holds a %HH of 0x80 or more and never
//     meets a decoded name, whose only '%' is "%25";
//   - a decoded name holds '/' or '\' only where the server's name has that
//     very character, never as half of a double-byte one (乗 is 81 5C in
//     GBK); an undecoded name keeps each such byte, since nothing tells where
//     its characters start. The caller's unsafe-name rules run on the result.
// posix_local_name: UTF-8; kRaw gives the bytes unchanged.
std::string posix_local_name(std::string_view bytes, Charset charset);
// windows_local_name: UTF-16, for the wide file APIs. kRaw gives an empty
// string: raw names stay bytes for the ANSI APIs, which read them in the
// system's code page, outside this pure function.
std::u16string windows_local_name(std::string_view bytes, Charset charset);

// Unicode text in UTF-8 and UTF-16. A value that is no Unicode scalar value
// (a surrogate, or above U+10FFFF) comes out as U+FFFD.
std::string to_utf8(std::u32string_view text);
std::u16string to_utf16(std::u32string_view text);

}  // namespace vandrisk

#endif  // VANDRISK_FTP_NAME_CODEC_H_
