// Where the walk gets its listings and its fetched files. The walk asks in
// walk order, naming each item by its WalkKey; a source may have started the
// work long before (see parallel_source.h) or do it only when asked.
#ifndef VANDRISK_DOWNLOAD_WALK_SOURCE_H_
#define VANDRISK_DOWNLOAD_WALK_SOURCE_H_

#include <memory>
#include <string>

#include "download/file_fetch.h"
#include "download/lane.h"
#include "download/walk_plan.h"
#include "ftp/ftp_client.h"

namespace vandrisk {

class WalkSource {
 public:
  virtual ~WalkSource() = default;

  // The listing of `dir` (see Lane::list), shown as `dir_shown`, whose
  // local directory is `local_dir`; `path` holds the identities of the
  // directories above it and of itself, as far as known (the top's own
  // comes with its listing).
  virtual bool list(const WalkKey& key, const std::string& dir, const std::string& dir_shown,
                    const std::string& local_dir, const WalkPath& path,
                    std::shared_ptr<const FtpListing>& listing, FtpStatus& status) = 0;
  // The file of `job`, complete and checked, not yet under its final name;
  // null with `failure` when it could not be fetched.
  virtual std::unique_ptr<FileFetch> fetch(const WalkKey& key, const FetchJob& job,
                                           FetchFailure& failure) = 0;
};

// Everything on the caller's thread, over one connection, one item at a time.
class SerialSource : public WalkSource {
 public:
  explicit SerialSource(Lane& lane) : lane_(lane) {}

  bool list(const WalkKey& key, const std::string& dir, const std::string&,
            const std::string& local_dir, const WalkPath&,
            std::shared_ptr<const FtpListing>& listing, FtpStatus& status) override {
    auto listed = std::make_shared<FtpListing>();
    const bool ok = lane_.list(dir, *listed, status, key.empty());
    if (ok) drop_stale_partials(*listed, dir, local_dir, lane_.checks());
    listing = std::move(listed);
    return ok;
  }
  std::unique_ptr<FileFetch> fetch(const WalkKey&, const FetchJob& job,
                                   FetchFailure& failure) override {
    auto file = std::make_unique<FileFetch>(job, &lane_.checks().large);
    if (!lane_.fetch(*file, failure)) return nullptr;
    return file;
  }

 private:
  Lane& lane_;
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_WALK_SOURCE_H_
