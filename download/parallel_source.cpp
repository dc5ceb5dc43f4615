#include "download/parallel_source.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "download/walk_plan.h"
#include "platform/platform.h"

namespace vandrisk {
namespace {

// How far ahead of the walk work may go, in items started and not yet taken:
// enough to keep every connection busy while the walk publishes, small enough
// that unpublished files stay few (each is an open, unnamed file).
int list_window(int connections) { return 2 * connections + 2; }
int fetch_window(int connections) { return 2 * connections; }

// The deepest directory of `local_path` that exists now. A file fetched ahead
// into a directory the walk has not created yet waits there, unnamed, on the
// same file system as the directories that will be created below it.
std::string staging_directory(const std::string& local_path) {
  std::string dir = local_path;
  for (;;) {
    const std::size_t slash = dir.find_last_of('\\');
    if (slash == std::string::npos || slash == 0) return std::string();
    dir.resize(slash);
    if (platform::local_kind(dir) == platform::LocalKind::kDirectory) return dir;
  }
}

}  // namespace

ParallelSource::ParallelSource(FtpClient& client, const FtpAccount& account,
                               const RetryPolicy& policy, const FetchChecks& checks,
                               int connections, Console& console, StopSignal& stop,
                               std::unique_ptr<FtpConnection> first)
    : client_(client),
      account_(account),
      policy_(policy),
      checks_(checks),
      connections_(connections),
      list_window_(list_window(connections)),
      fetch_window_(fetch_window(connections)),
      console_(console),
      stop_(stop) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++workers_;
  ++connecting_;
  threads_.emplace_back(&ParallelSource::work, this, std::move(first));
}

ParallelSource::~ParallelSource() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_.request();
  }
  changed_.notify_all();
  // No new thread starts once stop is requested: threads_ stays as it is.
  for (std::thread& thread : threads_) thread.join();
}

void ParallelSource::work(std::unique_ptr<FtpConnection> connection) {
  Lane lane(client_, account_, policy_, checks_, console_, &stop_);
  lane.hand_back_when_refused();
  FtpStatus status;
  const bool opened = connection ? (lane.adopt(std::move(connection)), true)
                                 : lane.connect(status, false);
  std::unique_lock<std::mutex> lock(mutex_);
  --connecting_;
  if (!opened) {
    // Most likely "421 too many connections": go on with those there are.
    no_more_connections_ = true;
    --workers_;
    changed_.notify_all();
    return;
  }
  for (;;) {
    ++idle_;
    start_more_connections();  // counting this one as idle already
    std::shared_ptr<LargeFile> large;
    WalkKey large_key;
    for (;;) {
      if (stop_.requested() || next_to_start() || (large = help_wanted(large_key))) break;
      // Whether a large file wants help changes with time, not only with
      // what other threads do.
      if (running_large_ > 0) {
        changed_.wait_for(lock, std::chrono::milliseconds(100));
      } else {
        changed_.wait(lock);
      }
    }
    --idle_;
    if (stop_.requested()) break;
    const std::optional<WalkKey> next = next_to_start();
    if (large && (!next || large_key < *next)) {
      lock.unlock();
      FtpStatus status;
      const bool connected = lane.connected() || lane.connect(status, false);
      if (connected) lane.help(*large);
      lock.lock();
      if (!connected) {
        no_more_connections_ = true;  // most likely 421: go on with the others
        break;
      }
      continue;
    }
    large.reset();  // holding it would keep its partial open
    const WalkKey key = *next;
    wanted_lists_.erase(key);
    wanted_fetches_.erase(key);
    Item& item = items_.at(key);  // map nodes stay put while others come and go
    item.state = Item::State::kRunning;
    ++ahead(item);
    refill();
    lock.unlock();
    run(key, lane, item);
    lock.lock();
    if (!item.ok && !lane.connected() && workers_ > 1 && !item.stale) {
      // This connection is gone and the server would not take it back (most
      // likely: others took its place). The work goes to those others.
      item.state = Item::State::kWanted;
      item.failure = FetchFailure();
      --ahead(item);
      (item.is_listing ? wanted_lists_ : wanted_fetches_).insert(key);
      no_more_connections_ = true;
      changed_.notify_all();
      break;
    }
    if (!item.ok) item.file.reset();  // kept only for the connection that takes it up
    item.state = Item::State::kDone;
    if (item.stale) {
      drop(items_.find(key));
    } else if (item.is_listing && item.ok) {
      expand(key, item);
      refill();
    }
    changed_.notify_all();
  }
  --workers_;
}

void ParallelSource::run(const WalkKey& key, Lane& lane, Item& item) {
  if (item.is_listing) {
    auto listing = std::make_shared<FtpListing>();
    item.ok = lane.list(item.job.remote_path, *listing, item.status, key.empty());
    if (item.ok) {
      // A file of this directory may be under way already, read ahead from
      // an earlier listing of it.
      std::set<std::string> in_use;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : items_) {
          if (entry.second.large || (entry.second.file && entry.second.file->large())) {
            in_use.insert(entry.second.job.local_path);
          }
        }
      }
      drop_stale_partials(*listing, item.job.remote_path, item.job.local_path, checks_, in_use);
    }
    if (item.ok && key.empty() && !listing->unique.empty()) item.path.push_back(listing->unique);
    item.listing = std::move(listing);
    return;
  }
  // A file handed back by a connection that was lost goes on as it stands:
  // its bytes, its count of failed attempts.
  std::unique_ptr<FileFetch> file = std::move(item.file);
  if (!file) {
    FetchJob job = item.job;
    if (!item.own_directory) job.staging_dir = staging_directory(job.local_path);
    file = std::make_unique<FileFetch>(std::move(job), &checks_.large);
  }
  if (file->large()) {
    std::lock_guard<std::mutex> lock(mutex_);
    item.large = file->large();
    ++running_large_;
    changed_.notify_all();
  }
  item.ok = lane.fetch(*file, item.failure);
  if (file->large()) {
    std::lock_guard<std::mutex> lock(mutex_);
    item.large.reset();
    --running_large_;
  }
  if (item.ok || !lane.connected()) item.file = std::move(file);
}

void ParallelSource::expand(const WalkKey& key, const Item& listing) {
  if (listing.listing->entries.empty()) return;
  Expansion expansion;
  expansion.listing = listing.listing;
  expansion.names = std::make_shared<ListingNames>(*listing.listing, checks_.names);
  expansion.dir = listing.job.remote_path;
  expansion.local_dir = listing.job.local_path;
  expansion.dir_shown = listing.job.shown();
  expansion.path = listing.path;
  expansion.listed_at = listing.listing->listed_at;
  expansion.next = key;
  expansion.next.push_back(0);
  for (const FtpEntry& entry : expansion.listing->entries) ++expansion.repeated[entry.name];
  for (auto it = expansion.repeated.begin(); it != expansion.repeated.end();) {
    it = it->second > 1 ? std::next(it) : expansion.repeated.erase(it);
  }
  const WalkKey first = expansion.next;
  expansions_.emplace(first, std::move(expansion));
}

void ParallelSource::refill() {
  const auto enough = [this] {
    return wanted_fetches_.size() >= static_cast<std::size_t>(fetch_window_) &&
           wanted_lists_.size() >= static_cast<std::size_t>(list_window_);
  };
  while (!expansions_.empty() && !enough()) {
    auto node = expansions_.extract(expansions_.begin());
    Expansion& expansion = node.mapped();
    const std::size_t index = expansion.next.back();
    const FtpEntry& entry = expansion.listing->entries[index];
    bool ended = false;
    const ListingNames& names = *expansion.names;
    if (plan_name_step(entry, names, index, checks_.names, expansion.path) == Step::kLookLocally) {
      Item item;
      item.job = FetchJob(expansion.dir + '/' + entry.name,
                          expansion.local_dir + '\\' + names.local(index), entry,
                          expansion.listed_at);
      if (!checks_.names.raw()) item.job.shown_path = expansion.dir_shown + '/' + names.shown(index);
      const bool repeated = expansion.repeated.count(entry.name) > 0;
      const auto made = repeated ? expansion.made.find(entry.name) : expansion.made.end();
      const platform::LocalKind local = made != expansion.made.end()
                                            ? made->second
                                            : platform::local_kind(item.job.local_path);
      // A name the listing holds twice comes to the same local path twice:
      // only its first entry is read ahead. Under a second one the same
      // files would be fetched twice at once, the later in walk order
      // perhaps first (a large file has one partial). The walk asks for
      // what it needs there.
      Step step = plan_local_step(entry, names.match(index), local, checks_.names);
      if (made != expansion.made.end() && step != Step::kFileConflict &&
          step != Step::kDirectoryConflict) {
        step = Step::kPassOver;
      }
      switch (step) {
        case Step::kFetch:
          if (repeated) expansion.made[entry.name] = platform::LocalKind::kRegular;
          want(expansion.next, std::move(item));
          break;
        case Step::kCreateAndWalk:
        case Step::kWalk:
          if (repeated) expansion.made[entry.name] = platform::LocalKind::kDirectory;
          item.is_listing = true;
          item.job.size.reset();
          item.path = expansion.path;
          if (!entry.unique.empty()) item.path.push_back(entry.unique);
          want(expansion.next, std::move(item));
          break;
        case Step::kFileConflict:
        case Step::kDirectoryConflict:
          ended = true;  // the walk ends there
          break;
        default:
          break;
      }
    }
    if (ended || index + 1 >= expansion.listing->entries.size()) continue;  // done with it
    ++expansion.next.back();
    node.key() = expansion.next;
    expansions_.insert(std::move(node));
  }
}

void ParallelSource::want(const WalkKey& key, Item item) {
  const bool is_listing = item.is_listing;
  if (!items_.emplace(key, std::move(item)).second) return;  // asked for already
  (is_listing ? wanted_lists_ : wanted_fetches_).insert(key);
}

void ParallelSource::drop(Items::iterator it) {
  Item& item = it->second;
  if (item.state == Item::State::kRunning) {
    item.stale = true;  // its thread drops it when done
    return;
  }
  if (item.state == Item::State::kWanted) {
    (item.is_listing ? wanted_lists_ : wanted_fetches_).erase(it->first);
  } else {
    --ahead(item);
  }
  items_.erase(it);  // an unpublished file goes with it
}

void ParallelSource::drop_before(const WalkKey& key) {
  for (auto it = items_.begin(); it != items_.end() && it->first < key;) drop(it++);
  // Entries the walk went past need no more looking at.
  while (!expansions_.empty() && expansions_.begin()->first < key) {
    auto node = expansions_.extract(expansions_.begin());
    Expansion& expansion = node.mapped();
    // The walk is at `key`. In a listing on its way there, go on after the
    // entry it is at (it asked for that one itself); any other listing it has
    // left behind.
    const std::size_t level = expansion.next.size() - 1;
    if (key.size() <= level ||
        !std::equal(expansion.next.begin(), expansion.next.end() - 1, key.begin()) ||
        key[level] + 1 >= expansion.listing->entries.size()) {
      continue;
    }
    expansion.next.back() = key[level] + 1;
    node.key() = expansion.next;
    expansions_.insert(std::move(node));
  }
}

std::optional<WalkKey> ParallelSource::next_to_start() const {
  if (needed_ && (wanted_lists_.count(*needed_) || wanted_fetches_.count(*needed_))) return needed_;
  std::optional<WalkKey> next;
  if (lists_ahead_ < list_window_ && !wanted_lists_.empty()) next = *wanted_lists_.begin();
  if (fetches_ahead_ < fetch_window_ && !wanted_fetches_.empty() &&
      (!next || *wanted_fetches_.begin() < *next)) {
    next = *wanted_fetches_.begin();
  }
  return next;
}

bool ParallelSource::help_may_come() const {
  if (running_large_ == 0) return false;
  for (const auto& entry : items_) {
    if (entry.second.large && entry.second.large->may_want_help()) return true;
  }
  return false;
}

std::shared_ptr<LargeFile> ParallelSource::help_wanted(WalkKey& key) {
  if (running_large_ == 0) return nullptr;
  const auto now = LargeFile::Clock::now();
  for (const auto& [item_key, item] : items_) {
    if (item.large && item.large->wants_help(now)) {
      key = item_key;
      return item.large;
    }
  }
  return nullptr;
}

void ParallelSource::start_more_connections() {
  if (no_more_connections_ || stop_.requested() || workers_ >= connections_) return;
  // Work that could start now, beyond what idle connections will take up.
  const auto room = [](int window, int ahead, std::size_t wanted) {
    return std::min<std::size_t>(static_cast<std::size_t>(std::max(window - ahead, 0)), wanted);
  };
  std::size_t startable = room(list_window_, lists_ahead_, wanted_lists_.size()) +
                          room(fetch_window_, fetches_ahead_, wanted_fetches_.size());
  if (startable == 0 && needed_ &&
      (wanted_lists_.count(*needed_) || wanted_fetches_.count(*needed_))) {
    startable = 1;  // what the walk waits for starts whatever the windows say
  }
  // One more connection at a time for the walk's items; as many as the task
  // may have for a large file that wants help, so that they join together.
  WalkKey key;
  const int spare = idle_ + connecting_;
  int wanted = startable > static_cast<std::size_t>(spare) ? spare + 1 : 0;
  if (help_wanted(key) || help_may_come()) wanted = connections_;
  while (idle_ + connecting_ < wanted && workers_ < connections_) {
    ++workers_;
    ++connecting_;
    threads_.emplace_back(&ParallelSource::work, this, nullptr);
  }
}

ParallelSource::Item& ParallelSource::ask(const WalkKey& key, std::unique_lock<std::mutex>& lock,
                                          bool is_listing, const std::string& what,
                                          const std::function<Item()>& make) {
  drop_before(key);
  for (;;) {
    auto it = items_.find(key);
    if (it == items_.end()) break;
    const Item& item = it->second;
    if (item.is_listing == is_listing &&
        (is_listing ? item.job.remote_path : item.job.local_path) == what) {
      break;
    }
    // Read ahead wrongly (only a local tree changed meanwhile by others can
    // do that): wait for the guess to end, then do what the walk asks.
    if (item.state == Item::State::kRunning) {
      changed_.wait(lock);
      continue;
    }
    drop(it);
    break;
  }
  want(key, make());
  Item& item = items_.at(key);
  needed_ = key;
  refill();
  start_more_connections();
  changed_.notify_all();
  while (item.state != Item::State::kDone) {
    if (running_large_ == 0) {
      changed_.wait(lock);
      continue;
    }
    // A large file may come to want help while every connection is busy:
    // the walk, which waits anyway, opens more when it does.
    changed_.wait_for(lock, std::chrono::milliseconds(100));
    start_more_connections();
  }
  needed_.reset();
  return item;
}

bool ParallelSource::list(const WalkKey& key, const std::string& dir,
                          const std::string& dir_shown, const std::string& local_dir,
                          const WalkPath& path, std::shared_ptr<const FtpListing>& listing,
                          FtpStatus& status) {
  std::unique_lock<std::mutex> lock(mutex_);
  Item& item = ask(key, lock, true, dir, [&] {
    Item made;
    made.is_listing = true;
    made.job = FetchJob(dir, local_dir, std::nullopt);
    if (dir_shown != dir) made.job.shown_path = dir_shown;
    made.path = path;
    return made;
  });
  const bool ok = item.ok;
  listing = item.listing;
  status = item.status;
  drop(items_.find(key));
  refill();
  changed_.notify_all();
  return ok;
}

std::unique_ptr<FileFetch> ParallelSource::fetch(const WalkKey& key, const FetchJob& job,
                                                 FetchFailure& failure) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto make = [&job] {
    Item made;
    made.job = job;
    return made;
  };
  // An item of another key for the same large file (read ahead for a
  // directory listed twice) may have its partial open: let it finish, then
  // drop it and every other such item (they come later in walk order; the
  // bytes stay in the partial for this fetch to take up).
  const auto others_done = [&] {
    if (!job.size || *job.size < checks_.large.threshold) return;
    for (;;) {
      bool running = false;
      for (auto it = items_.begin(); it != items_.end();) {
        const auto next = std::next(it);
        const Item& other = it->second;
        if (!other.is_listing && it->first != key && other.job.local_path == job.local_path) {
          if (other.state == Item::State::kRunning) {
            running = true;
          } else {
            drop(it);
          }
        }
        it = next;
      }
      if (!running) return;
      changed_.wait(lock);
    }
  };
  others_done();
  Item* item = &ask(key, lock, false, job.local_path, make);
  if (!item->ok && item->failure.local.operation &&
      std::strcmp(item->failure.local.operation, "create") == 0 && !item->own_directory) {
    // The unnamed file could not be made where it was staged: do it once
    // more exactly as one connection alone would, in its own directory.
    drop(items_.find(key));
    others_done();
    item = &ask(key, lock, false, job.local_path, [&make] {
      Item made = make();
      made.own_directory = true;
      return made;
    });
  }
  std::unique_ptr<FileFetch> file = std::move(item->file);
  failure = item->failure;
  drop(items_.find(key));
  refill();
  changed_.notify_all();
  return file;
}

}  // namespace vandrisk
