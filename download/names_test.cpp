#include "download/names.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace vandrisk {
namespace {

const std::string kUtf8 = "\xE4\xB8\xAD\xE6\x96\x87.txt";  // 中文.txt
const std::string kGbk = "\xD6\xD0\xCE\xC4.txt";           // 中文.txt
const std::string kPercent = "%E4%B8%AD.txt";               // a name that is its own %HH

FtpListing listing_of(const std::vector<std::string>& names) {
  FtpListing listing;
  for (const std::string& name : names) {
    FtpEntry entry;
    entry.name = name;
    entry.kind = EntryKind::kFile;
    listing.entries.push_back(entry);
  }
  return listing;
}

// Whichever order the server lists them in, the UTF-8 spelling keeps the
// shared local name and the GBK one is the one skipped; names that only
// look alike (%HH written out, the same bytes twice) never collide.
TEST(ListingNamesTest, CollisionWinnerDoesNotDependOnOrder) {
  TaskRecord task;
  const NameRules rules(Charset::kAuto, task);
  std::vector<std::string> names = {kGbk, kUtf8, kPercent, "a.txt", "a.txt"};
  std::sort(names.begin(), names.end());
  do {
    const FtpListing listing = listing_of(names);
    const ListingNames shown(listing, rules);
    for (std::size_t i = 0; i < names.size(); ++i) {
      SCOPED_TRACE(names[i]);
      EXPECT_EQ(shown.taken(i), names[i] == kGbk);
      EXPECT_EQ(shown.shown(i), names[i] == kUtf8 ? kGbk : names[i] == kPercent ? kPercent : names[i]);
    }
    EXPECT_EQ(shown.local(std::find(names.begin(), names.end(), kPercent) - names.begin()),
              "%25E4%25B8%25AD.txt");
  } while (std::next_permutation(names.begin(), names.end()));
}

TEST(ListingNamesTest, RawKeepsEveryNameAsItsBytes) {
  const FtpListing listing = listing_of({kGbk, kUtf8});
  const ListingNames names(listing, NameRules());
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_FALSE(names.taken(i));
    EXPECT_EQ(names.local(i), listing.entries[i].name);
    EXPECT_EQ(names.match(i), listing.entries[i].name);
  }
}

// The server is asked for ftppath in UTF-8 first where names may be UTF-8,
// then as written, then in GBK; never twice the same.
TEST(NameRulesTest, RemoteSpellingsOfFtppath) {
  TaskRecord task;
  using List = std::vector<std::string>;
  EXPECT_EQ(NameRules(Charset::kAuto, task).remote_spellings("/" + kGbk),
            (List{"/" + kUtf8, "/" + kGbk}));
  EXPECT_EQ(NameRules(Charset::kAuto, task).remote_spellings("/" + kUtf8),
            (List{"/" + kUtf8, "/" + kGbk}));
  EXPECT_EQ(NameRules(Charset::kGbk, task).remote_spellings("/" + kUtf8),
            (List{"/" + kGbk, "/" + kUtf8}));
  EXPECT_EQ(NameRules(Charset::kUtf8, task).remote_spellings("/plain"), (List{"/plain"}));
}

}  // namespace
}  // namespace vandrisk
