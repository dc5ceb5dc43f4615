// What the walk makes of remote names under a task's charset= key: the
// local name, the console text and what head and tail are held against,
// and which names of a listing would meet under one local name. Without the
// key (kRaw) every one of them is the name's bytes, as the tool always had
// it. Commands to the server always use the listed bytes.
#ifndef VANDRISK_DOWNLOAD_NAMES_H_
#define VANDRISK_DOWNLOAD_NAMES_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/task_list.h"
#include "ftp/ftp_client.h"
#include "ftp/name_codec.h"

namespace vandrisk {

class NameRules {
 public:
  NameRules() = default;  // raw, no filters
  NameRules(Charset charset, const TaskRecord& task);

  Charset charset() const { return charset_; }
  bool raw() const { return charset_ == Charset::kRaw; }
  // Whether local names are UTF-8 (with a charset) rather than the bytes of
  // the names (raw).
  bool utf8_local() const { return !raw(); }

  // A configuration text (localpath, ftppath) for the disk and for the
  // console: read as UTF-8 if it is that, else as GBK.
  std::string local_text(const std::string& value) const;
  std::string shown_text(const std::string& value) const;
  // The spellings of the task's ftppath to try on the server, best first:
  // UTF-8 where the server reads UTF-8 names, the config's own bytes, the
  // code page of the charset.
  std::vector<std::string> remote_spellings(const std::string& ftppath) const;

  std::string local_name(std::string_view name) const;
  std::string shown_name(std::string_view name) const;
  // What head and tail are held against: the name's characters in UTF-8
  // (its bytes where it cannot be read), and head and tail the same way.
  std::string match_name(std::string_view name) const;
  const std::string& head() const { return head_; }
  const std::string& tail() const { return tail_; }

 private:
  Charset charset_ = Charset::kRaw;
  std::string head_, tail_;
};

// The names of one listing's entries under the rules. Where two entries
// would meet under one local name (case-insensitively on Windows), one
// keeps it and the others are taken(): the one read as UTF-8 over one read
// through the GBK fallback over one not read at all, then the smaller bytes.
// So which one gets the name never depends on the listing's order.
class ListingNames {
 public:
  ListingNames(const FtpListing& listing, const NameRules& rules);

  const std::string& local(std::size_t i) const;
  const std::string& shown(std::size_t i) const;
  const std::string& match(std::size_t i) const;
  bool taken(std::size_t i) const { return !raw_ && names_[i].taken; }

 private:
  struct Names {
    std::string local, shown, match;
    bool taken = false;
  };
  const FtpListing& listing_;
  const bool raw_;
  std::vector<Names> names_;  // empty when raw: the entries' names serve
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_NAMES_H_
