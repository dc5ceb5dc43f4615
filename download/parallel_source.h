// Listings and fetches of one task on up to N connections at once, ahead of
// the walk.
//
// Each connection has its own thread and lane (retries included). Work is
// read ahead from the listings as they arrive: every sub-directory's listing
// and every file the walk will fetch (guessed with the walk's own plan), taken
// up strictly in walk order, as far as a small window ahead of the walk allows.
// Listings are looked at entry by entry only as far as the window needs, so
// what is held ahead stays small however large a directory is. The walk then
// asks for each item in turn and gets it finished (or waits for it); a file
// fetched ahead waits as an unnamed local file, so it is the walk that
// publishes it, in walk order. A guess the walk does not confirm is dropped;
// an item it asks for that was not guessed is done at once.
//
// A large file (see large_file.h) may be fetched over several of the
// connections at once: a connection with nothing to do that comes before it
// in walk order takes a range of it, where that pays.
//
// Connections are opened as the work needs them, never more than N; one the
// server refuses (421 too many connections) ends the opening of others and the
// task goes on with those it has. Destroying the source stops every transfer
// in flight and discards whatever the walk did not take: nothing of it ever
// carries a final name.
#ifndef VANDRISK_DOWNLOAD_PARALLEL_SOURCE_H_
#define VANDRISK_DOWNLOAD_PARALLEL_SOURCE_H_

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "download/console.h"
#include "download/lane.h"
#include "download/walk_source.h"
#include "ftp/ftp_client.h"

namespace vandrisk {

class ParallelSource : public WalkSource {
 public:
  // `first` is the task's first connection, already logged in; `stop` is the
  // signal its connection watches.
  ParallelSource(FtpClient& client, const FtpAccount& account, const RetryPolicy& policy,
                 const FetchChecks& checks, int connections, Console& console, StopSignal& stop,
                 std::unique_ptr<FtpConnection> first);
  ~ParallelSource() override;

  bool list(const WalkKey& key, const std::string& dir, const std::string& dir_shown,
            const std::string& local_dir, const WalkPath& path,
            std::shared_ptr<const FtpListing>& listing, FtpStatus& status) override;
  std::unique_ptr<FileFetch> fetch(const WalkKey& key, const FetchJob& job,
                                   FetchFailure& failure) override;

 private:
  // A listing or a fetch, guessed or asked for.
  struct Item {
    bool is_listing = false;
    enum class State { kWanted, kRunning, kDone } state = State::kWanted;
    bool stale = false;          // the walk went past it: dropped when done
    bool own_directory = false;  // fetch: stage the file in its own directory only
    bool ok = false;
    // A listing: of job.remote_path (shown as job.shown()), mirrored in
    // job.local_path; a fetch: the job.
    FetchJob job;
    WalkPath path;  // listing: identities from the top down to this directory
    std::shared_ptr<const FtpListing> listing;
    FtpStatus status;
    std::unique_ptr<FileFetch> file;
    FetchFailure failure;
    // A large file while it is fetched: other connections may help.
    std::shared_ptr<LargeFile> large;
  };
  using Items = std::map<WalkKey, Item>;

  // A finished listing whose entries are not all looked at yet.
  struct Expansion {
    std::shared_ptr<const FtpListing> listing;
    std::shared_ptr<const ListingNames> names;
    std::string dir;
    std::string local_dir;
    std::string dir_shown;  // the console's text of `dir`, with charset=
    WalkPath path;
    std::chrono::steady_clock::time_point listed_at;
    WalkKey next;  // the key of the next entry to look at
    // What the walk will have made of names that come more than once in the
    // listing, by the time it meets their later entries.
    std::unordered_map<std::string, platform::LocalKind> made;
    std::unordered_map<std::string, int> repeated;
  };

  void work(std::unique_ptr<FtpConnection> connection);
  void run(const WalkKey& key, Lane& lane, Item& item);

  // All below with mutex_ held.
  void expand(const WalkKey& key, const Item& listing);
  // Looks at more entries of the expansions, in walk order, until the
  // windows have enough work waiting or nothing is left to look at.
  void refill();
  void want(const WalkKey& key, Item item);
  void drop(Items::iterator it);
  void drop_before(const WalkKey& key);
  // The item the walk asks for, made to match its request and marked needed.
  Item& ask(const WalkKey& key, std::unique_lock<std::mutex>& lock, bool is_listing,
            const std::string& what, const std::function<Item()>& make);
  std::optional<WalkKey> next_to_start() const;
  // The first large file in walk order that another connection could help
  // with now, and its key; null when there is none.
  std::shared_ptr<LargeFile> help_wanted(WalkKey& key);
  // Whether a large file in progress may soon want help (LargeFile::may_want_help).
  bool help_may_come() const;
  void start_more_connections();
  int& ahead(const Item& item) { return item.is_listing ? lists_ahead_ : fetches_ahead_; }

  FtpClient& client_;
  const FtpAccount& account_;
  RetryPolicy policy_;
  FetchChecks checks_;
  const int connections_;
  const int list_window_;
  const int fetch_window_;
  Console& console_;
  StopSignal& stop_;

  std::mutex mutex_;
  std::condition_variable changed_;
  Items items_;
  std::map<WalkKey, Expansion> expansions_;  // by the key of their next entry
  std::set<WalkKey> wanted_lists_;    // not started, in walk order
  std::set<WalkKey> wanted_fetches_;  // not started, in walk order
  std::optional<WalkKey> needed_;     // what the walk waits for
  int lists_ahead_ = 0;               // started and not yet taken by the walk
  int fetches_ahead_ = 0;
  int workers_ = 0;                   // threads with a connection (or opening one)
  int idle_ = 0;
  int connecting_ = 0;                // threads still logging in
  int running_large_ = 0;             // large files being fetched
  bool no_more_connections_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_PARALLEL_SOURCE_H_
