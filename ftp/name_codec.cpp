#include "ftp/name_codec.h"

#include "platform/platform.h"

namespace vandrisk {

unsigned code_page_of(Charset charset) {
  switch (charset) {
    case Charset::kGbk: return kCodePageGbk;
    case Charset::kGb18030: return 54936;
    case Charset::kBig5: return 950;
    case Charset::kShiftJis: return 932;
    case Charset::kEucKr: return 949;
    default: return 0;
  }
}

namespace {

bool is_control(char32_t c) { return c < 0x20 || c == 0x7F; }
bool is_printable_ascii(unsigned char b) { return b >= 0x20 && b < 0x7F; }

template <typename String>
void append_hex(String& out, unsigned char b) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += static_cast<typename String::value_type>(kHex[b >> 4]);
  out += static_cast<typename String::value_type>(kHex[b & 0xF]);
}

bool is_scalar_value(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// The strict UTF-8 character at the start of `bytes`: its length, or 0.
std::size_t decode_utf8_char(std::string_view bytes, char32_t& c) {
  const unsigned char lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length;
  char32_t code, least;
  if (lead < 0x80) {
    c = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {  // C0 and C1 could only start overlong forms
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {  // F5 and above would pass U+10FFFF
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if ((b & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b & 0x3F);
  }
  if (code < least || !is_scalar_value(code)) return 0;
  c = code;
  return length;
}

bool read_utf8(std::string_view bytes, DecodedName& name) {
  name.chars.clear();
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c;
    const std::size_t length = decode_utf8_char(bytes.substr(i), c);
    if (length == 0) return false;
    name.chars.push_back({c, static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(length)});
    i += length;
  }
  name.code_page = kCodePageUtf8;
  name.decoded = true;
  return true;
}

bool read_code_page(std::string_view bytes, unsigned code_page, DecodedName& name) {
  name.chars.clear();
  std::string spelled;
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    char32_t c = b;
    std::size_t length = 1;
    // All five code pages keep ASCII as ASCII, and none starts a longer
    // character below 0x80: most bytes of most names need no table.
    if (b >= 0x80) {
      length = platform::decode_char(bytes.substr(i), code_page, c);
      if (length == 0) return false;
      // A character must spell back to its own bytes: Big5 reads both 兀
      // A461 and C94A as U+5140, 932 has NEC and IBM copies of whole rows.
      // Two server names would otherwise share one local name.
      spelled.clear();
      if (!platform::encode_char(c, code_page, spelled) || spelled != bytes.substr(i, length)) {
        return false;
      }
    }
    name.chars.push_back({c, static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(length)});
    i += length;
  }
  name.code_page = code_page;
  name.decoded = true;
  return true;
}

// The local name as characters, before the OS's encoding.
std::u32string local_text(std::string_view bytes, Charset charset) {
  std::u32string text;
  const DecodedName name = decode_name(bytes, charset);
  if (name.decoded) {
    for (const DecodedName::Char& ch : name.chars) {
      if (ch.code == U'%') {
        append_hex(text, '%');
      } else {
        text += ch.code;
      }
    }
    return text;
  }
  for (const char byte : bytes) {
    const unsigned char b = static_cast<unsigned char>(byte);
    if (is_printable_ascii(b) && b != '%') {
      text += b;
    } else {
      append_hex(text, b);
    }
  }
  return text;
}

}  // namespace

bool parse_charset(std::string_view value, Charset& charset) {
  static const struct {
    std::string_view name;
    Charset charset;
  } kNames[] = {
      {"raw", Charset::kRaw},           {"auto", Charset::kAuto},
      {"utf-8", Charset::kUtf8},        {"gbk", Charset::kGbk},
      {"gb18030", Charset::kGb18030},   {"big5", Charset::kBig5},
      {"shift_jis", Charset::kShiftJis}, {"euc-kr", Charset::kEucKr},
  };
  for (const auto& entry : kNames) {
    if (value == entry.name) {
      charset = entry.charset;
      return true;
    }
  }
  return false;
}

bool charset_available(Charset charset) {
  if (charset == Charset::kRaw || charset == Charset::kUtf8) return true;
  return platform::code_page_available(charset == Charset::kAuto ? kCodePageGbk : code_page_of(charset));
}

DecodedName decode_name(std::string_view bytes, Charset charset) {
  DecodedName name;
  switch (charset) {
    case Charset::kRaw:
      break;
    case Charset::kUtf8:
      read_utf8(bytes, name);
      break;
    case Charset::kAuto:
      // Valid UTF-8 is strong evidence and valid GBK none (most UTF-8 CJK
      // text is valid GBK too), so UTF-8 is tried first.
      if (!read_utf8(bytes, name)) read_code_page(bytes, kCodePageGbk, name);
      break;
    default:
      read_code_page(bytes, code_page_of(charset), name);
      break;
  }
  if (!name.decoded) name = DecodedName();
  return name;
}

std::optional<std::u32string> decode_config_value(std::string_view bytes) {
  const DecodedName name = decode_name(bytes, Charset::kAuto);
  if (!name.decoded) return std::nullopt;
  std::u32string text;
  for (const DecodedName::Char& ch : name.chars) text += ch.code;
  return text;
}

std::string console_text(std::string_view bytes, Charset charset) {
  std::string text;
  text.reserve(bytes.size());
  const DecodedName name = decode_name(bytes, charset);
  if (!name.decoded) {
    for (const char byte : bytes) {
      const unsigned char b = static_cast<unsigned char>(byte);
      if (is_control(b)) {
        text += '?';
      } else if (charset == Charset::kRaw || is_printable_ascii(b)) {
        text += byte;
      } else {
        append_hex(text, b);
      }
    }
    return text;
  }
  for (const DecodedName::Char& ch : name.chars) {
    const std::string_view source = bytes.substr(ch.offset, ch.length);
    if (is_control(ch.code)) {
      text += '?';
    } else if (ch.code < 0x80 || name.code_page == kCodePageGbk) {
      text += source;  // already the console's own bytes: they spell back exactly
    } else if (!platform::encode_char(ch.code, kCodePageGbk, text)) {
      for (const char b : source) append_hex(text, static_cast<unsigned char>(b));
    }
  }
  return text;
}

std::string posix_local_name(std::string_view bytes, Charset charset) {
  if (charset == Charset::kRaw) return std::string(bytes);
  return to_utf8(local_text(bytes, charset));
}

std::u16string windows_local_name(std::string_view bytes, Charset charset) {
  if (charset == Charset::kRaw) return std::u16string();
  return to_utf16(local_text(bytes, charset));
}

std::string to_utf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (!is_scalar_value(c)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string to_utf16(std::u32string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (!is_scalar_value(c)) c = 0xFFFD;
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

}  // namespace vandrisk
