#include "download/names.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "platform/platform.h"

namespace vandrisk {
namespace {

// A configuration text's characters, spelled in a code page; nullopt where
// one of them has no spelling there.
std::optional<std::string> spelled_in(const std::u32string& text, unsigned code_page) {
  std::string out;
  for (const char32_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (!platform::encode_char(c, code_page, out)) {
      return std::nullopt;
    }
  }
  return out;
}

std::string utf8_or_bytes(std::string_view value) {
  const std::optional<std::u32string> text = decode_config_value(value);
  return text ? to_utf8(*text) : std::string(value);
}

// How good a claim a name has on a local name it shares with others.
int rank(std::string_view name, Charset charset) {
  const DecodedName decoded = decode_name(name, charset);
  if (!decoded.decoded) return 2;
  return decoded.code_page == kCodePageUtf8 ? 0 : 1;
}

}  // namespace

NameRules::NameRules(Charset charset, const TaskRecord& task)
    : charset_(charset),
      head_(charset == Charset::kRaw ? task.head : utf8_or_bytes(task.head)),
      tail_(charset == Charset::kRaw ? task.tail : utf8_or_bytes(task.tail)) {}

std::string NameRules::local_text(const std::string& value) const {
  return raw() ? value : utf8_or_bytes(value);
}

std::string NameRules::shown_text(const std::string& value) const {
  return raw() ? value : console_text(value, Charset::kAuto);
}

std::vector<std::string> NameRules::remote_spellings(const std::string& ftppath) const {
  std::vector<std::string> spellings;
  const auto add = [&spellings](const std::optional<std::string>& spelling) {
    if (spelling &&
        std::find(spellings.begin(), spellings.end(), *spelling) == spellings.end()) {
      spellings.push_back(*spelling);
    }
  };
  const std::optional<std::u32string> text = decode_config_value(ftppath);
  if (text && (charset_ == Charset::kAuto || charset_ == Charset::kUtf8)) add(to_utf8(*text));
  if (text && code_page_of(charset_) != 0) add(spelled_in(*text, code_page_of(charset_)));
  add(ftppath);
  if (text && charset_ == Charset::kAuto) add(spelled_in(*text, kCodePageGbk));
  return spellings;
}

std::string NameRules::local_name(std::string_view name) const {
  return posix_local_name(name, charset_);
}

std::string NameRules::shown_name(std::string_view name) const {
  return console_text(name, charset_);
}

std::string NameRules::match_name(std::string_view name) const {
  if (raw()) return std::string(name);
  const DecodedName decoded = decode_name(name, charset_);
  if (!decoded.decoded) return std::string(name);
  std::u32string text;
  for (const DecodedName::Char& c : decoded.chars) text += c.code;
  return to_utf8(text);
}

ListingNames::ListingNames(const FtpListing& listing, const NameRules& rules)
    : listing_(listing), raw_(rules.raw()) {
  if (raw_) return;
  names_.reserve(listing.entries.size());
  std::unordered_map<std::string, std::size_t> holder;  // local name's key -> entry
  for (std::size_t i = 0; i < listing.entries.size(); ++i) {
    const std::string& name = listing.entries[i].name;
    names_.push_back({rules.local_name(name), rules.shown_name(name), rules.match_name(name)});
    if (listing.entries[i].kind == EntryKind::kUnrecognized || name == "." || name == "..") {
      continue;
    }
    const auto [at, fresh] = holder.emplace(platform::local_name_key(names_[i].local), i);
    if (fresh) continue;
    // The same bytes twice is the same entry twice, as without the key.
    const std::string& other = listing.entries[at->second].name;
    if (other == name) continue;
    const auto better = [&](std::size_t a, std::size_t b) {
      const int ra = rank(listing.entries[a].name, rules.charset());
      const int rb = rank(listing.entries[b].name, rules.charset());
      return ra != rb ? ra < rb : listing.entries[a].name < listing.entries[b].name;
    };
    if (better(i, at->second)) {
      names_[at->second].taken = true;
      at->second = i;
    } else {
      names_[i].taken = true;
    }
  }
}

const std::string& ListingNames::local(std::size_t i) const {
  return raw_ ? listing_.entries[i].name : names_[i].local;
}

const std::string& ListingNames::shown(std::size_t i) const {
  return raw_ ? listing_.entries[i].name : names_[i].shown;
}

const std::string& ListingNames::match(std::size_t i) const {
  return raw_ ? listing_.entries[i].name : names_[i].match;
}

}  // namespace vandrisk
