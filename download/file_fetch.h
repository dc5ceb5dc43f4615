// One remote file on its way to its final local name. Every backend's bytes
// pass through here: the count is checked against the listing's size and the
// file gets its name only when complete, whatever the backend.
#ifndef VANDRISK_DOWNLOAD_FILE_FETCH_H_
#define VANDRISK_DOWNLOAD_FILE_FETCH_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "download/console.h"
#include "ftp/ftp_client.h"
#include "platform/platform.h"

namespace vandrisk {

// A file to fetch: where from, where to, and the size the listing told.
struct FetchJob {
  FetchJob() = default;
  FetchJob(std::string remote, std::string local, std::optional<std::uint64_t> listed_size,
           std::string staging = std::string())
      : remote_path(std::move(remote)),
        local_path(std::move(local)),
        size(listed_size),
        staging_dir(std::move(staging)) {}

  std::string remote_path;
  std::string local_path;  // '\\'-separated final name
  std::optional<std::uint64_t> size;
  // Where the unnamed file waits until it is published: a directory above
  // local_path on the same file system, for a file fetched before its own
  // directory exists. Empty: local_path's own directory.
  std::string staging_dir;
};

// Why a fetch failed. `remote.code` is what the console would show; `local`
// names the local operation and the OS's code when the failure was local
// (local.operation is null otherwise).
struct FetchFailure {
  FtpStatus remote;
  platform::LocalError local;
};

class FileFetch {
 public:
  explicit FileFetch(FetchJob job) : job_(std::move(job)) {}

  const FetchJob& job() const { return job_; }
  std::uint64_t received() const { return received_; }

  // One attempt over `connection`. The first creates the unnamed local file;
  // a later one goes on from the bytes already received (REST), and starts
  // over where the server will not resume. True when the whole file is here:
  // every byte the listing promised, no more (a file that grew is cut off and
  // fails as a local "size" failure, one that came short as kConnectionAborted).
  // While it runs, `console` (when given) shows it on the progress line.
  bool attempt(FtpConnection& connection, FetchFailure& failure, Console* console = nullptr);

  // Gives the complete file its final name (never over an existing one).
  bool publish(FetchFailure& failure);

 private:
  FetchJob job_;
  std::unique_ptr<platform::NewLocalFile> file_;
  std::uint64_t received_ = 0;
};

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_FILE_FETCH_H_
