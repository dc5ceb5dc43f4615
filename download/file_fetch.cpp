#include "download/file_fetch.h"

#include <cstring>

namespace vandrisk {
namespace {

// Hands the bytes on to the unnamed file, up to the listed size: a file that
// grew since it was listed is cut off at once instead of being read to the end.
class FileSink : public FetchSink {
 public:
  FileSink(platform::NewLocalFile& file, std::optional<std::uint64_t> limit, std::uint64_t& received,
           Console::Meter* meter)
      : file_(file), limit_(limit), received_(received), meter_(meter) {}

  bool write(const char* data, std::size_t size) override {
    if (limit_ && size > *limit_ - received_) {
      failure_ = {"size", 0};
      return false;
    }
    if (!file_.write(data, size)) {
      failure_ = file_.error();
      return false;
    }
    received_ += size;
    if (meter_) meter_->add(size);
    return true;
  }

  const platform::LocalError& failure() const { return failure_; }

 private:
  platform::NewLocalFile& file_;
  std::optional<std::uint64_t> limit_;
  std::uint64_t& received_;
  Console::Meter* meter_;
  platform::LocalError failure_;
};

bool remote_failure(FtpError code, FetchFailure& failure) {
  failure.remote = {code, 0};
  return false;
}

}  // namespace

FileFetch::FileFetch(FetchJob job, const LargeFileTuning* large) : job_(std::move(job)) {
  if (large && job_.size && *job_.size >= large->threshold) {
    large_ = std::make_shared<LargeFile>(job_.remote_path, job_.local_path, *job_.size, *large);
  }
}

bool FileFetch::open_large(const std::string& modify, FetchFailure& failure) {
  if (!large_ || large_->open(modify, failure)) return true;
  // A name without room for the partial's suffixes: no partial, no resume.
  if (failure.local.code == platform::kNameTooLong) {
    large_.reset();
    failure = FetchFailure();
    return true;
  }
  return false;
}

bool FileFetch::count_failure(int retries) {
  if (large_) return large_->count_failure(retries);
  if (failures_ >= retries) return false;
  ++failures_;
  return true;
}

void FileFetch::give_up(bool changed) {
  if (!large_) return;
  large_->stop();
  if (changed) large_->discard();
}

bool FileFetch::attempt(FtpConnection& connection, FetchFailure& failure, Console* console) {
  complete_ = attempt_once(connection, failure, console);
  return complete_;
}

bool FileFetch::attempt_once(FtpConnection& connection, FetchFailure& failure, Console* console) {
  failure = FetchFailure();
  connection_lost_ = false;
  if (large_) return large_->fetch(connection, console, failure, connection_lost_);
  if (!file_) {
    file_ = platform::create_new_file(job_.local_path, &failure.local, job_.staging_dir);
    if (!file_) return remote_failure(ftp_errors::kInternalError, failure);
  }
  const std::uint64_t offset = received_;
  std::optional<Console::Meter> meter;
  if (console) meter.emplace(*console, job_.remote_path, job_.size, received_);
  FileSink sink(*file_, job_.size, received_, meter ? &*meter : nullptr);
  bool ok = connection.fetch(job_.remote_path, offset, job_.size, sink, failure.remote);
  if (!ok && offset > 0 && failure.remote.code == ftp_errors::kExtendedError &&
      !sink.failure().operation) {
    // A refusal after a REST: most likely of the REST itself. Start over.
    if (!file_->restart()) {
      failure.local = file_->error();
      return remote_failure(ftp_errors::kInternalError, failure);
    }
    received_ = 0;
    ok = connection.fetch(job_.remote_path, 0, job_.size, sink, failure.remote);
  }
  if (!ok) {
    failure.local = sink.failure();
    if (failure.local.operation && std::strcmp(failure.local.operation, "size") == 0) {
      failure.count_differs = true;
    } else if (job_.size && received_ == *job_.size && failure.remote.reply == 0 &&
               (failure.remote.code == ftp_errors::kTimeout ||
                failure.remote.code == ftp_errors::kConnectionAborted)) {
      // Every byte is here; only the server's last word is missing (a NAT
      // dropped the control connection while the data flowed, say).
      failure = FetchFailure();
      connection_lost_ = true;
      return true;
    }
    return false;
  }
  if (job_.size && received_ != *job_.size) {
    // Only fewer bytes can get here: more were refused by the sink.
    failure.count_differs = true;
    return remote_failure(ftp_errors::kConnectionAborted, failure);
  }
  return true;
}

bool FileFetch::changed(const RemoteFacts& facts) const {
  // Without a listed size, what arrived is all there is to hold it against.
  if (facts.size && *facts.size != (job_.size ? *job_.size : received_)) return true;
  return !facts.modify.empty() && !job_.time.modify.empty() && facts.modify != job_.time.modify;
}

bool FileFetch::publish(FetchFailure& failure, bool durable) {
  failure = FetchFailure();
  if (large_) return large_->publish(failure);
  if (file_ && file_->publish(durable)) return true;
  if (file_) failure.local = file_->error();
  return remote_failure(ftp_errors::kInternalError, failure);
}

}  // namespace vandrisk
