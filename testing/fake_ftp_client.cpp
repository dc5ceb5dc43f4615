#include "testing/fake_ftp_client.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace vandrisk {

FakeFtpServer::FakeFtpServer() { nodes_["/"] = Node(); }

std::string FakeFtpServer::normalize(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

void FakeFtpServer::add(const std::string& path, Node node) {
  const std::string full = normalize(path);
  const std::size_t slash = full.rfind('/');
  const std::string parent = slash == 0 ? "/" : full.substr(0, slash);
  auto it = nodes_.find(parent);
  if (it == nodes_.end() || it->second.kind != EntryKind::kDirectory) {
    throw std::logic_error("fake FTP tree: no parent directory for " + path);
  }
  it->second.children.push_back(full.substr(slash + 1));
  nodes_[full] = std::move(node);
}

void FakeFtpServer::add_dir(const std::string& path) { add(path, Node()); }

void FakeFtpServer::add_file(const std::string& path, const std::string& content) {
  Node node;
  node.kind = EntryKind::kFile;
  node.content = content;
  add(path, std::move(node));
}

void FakeFtpServer::add_other(const std::string& path) {
  Node node;
  node.kind = EntryKind::kOther;
  add(path, std::move(node));
}

void FakeFtpServer::add_dir_link(const std::string& path, const std::string& target) {
  Node node;
  node.link_target = normalize(target);
  add(path, std::move(node));
}

void FakeFtpServer::add_raw_entry(const std::string& dir, const std::string& name, EntryKind kind) {
  auto it = nodes_.find(normalize(dir));
  if (it == nodes_.end()) throw std::logic_error("fake FTP tree: no directory " + dir);
  it->second.children.push_back(name);
  Node node;
  node.kind = kind;
  raw_entries_[normalize(dir)][name] = node;
}

void FakeFtpServer::set_listed_size(const std::string& path, std::uint64_t size) {
  nodes_.at(normalize(path)).listed_size = size;
}

void FakeFtpServer::set_modify(const std::string& path, const std::string& modify) {
  Node& node = nodes_.at(normalize(path));
  node.modify = node.listed_modify = modify;
}

void FakeFtpServer::grow_file(const std::string& path, const std::string& more, bool before_fetch) {
  Node& node = nodes_.at(normalize(path));
  node.listed_modify = node.modify;
  node.growth = more;
  node.grows_before_fetch = before_fetch;
  node.listing_size = node.listed_size ? *node.listed_size : node.content.size();
}

void FakeFtpServer::break_listing(const std::string& dir, std::size_t entries, FtpError error) {
  break_list_[normalize(dir)] = {entries, error};
}

std::string FakeFtpServer::resolve(const std::string& path) const {
  if (!path.empty() && path.front() == '/') return normalize(path);
  return normalize(login_directory_ + "/" + path);
}

bool FakeFtpServer::fires(std::map<std::string, Fault>& faults, const std::string& key,
                          FtpStatus& status) {
  auto it = faults.find(key);
  if (it == faults.end() || it->second.times == 0) return false;
  if (it->second.times > 0) --it->second.times;
  status = it->second.status;
  return true;
}

std::vector<std::string> FakeFtpServer::listed_dirs() const {
  std::lock_guard<std::mutex> lock(*mutex_);
  return listed_;
}

std::vector<std::string> FakeFtpServer::fetched() const {
  std::lock_guard<std::mutex> lock(*mutex_);
  return fetched_;
}

std::vector<std::string> FakeFtpServer::looked_at() const {
  std::lock_guard<std::mutex> lock(*mutex_);
  return looked_;
}

int FakeFtpServer::logins() const {
  std::lock_guard<std::mutex> lock(*mutex_);
  return logins_;
}

std::vector<FtpAccount> FakeFtpServer::connects() const {
  std::lock_guard<std::mutex> lock(*mutex_);
  return connects_;
}

class FakeFtpConnection : public FtpConnection {
 public:
  explicit FakeFtpConnection(FakeFtpServer& server) : server_(server) {
    ++server_.open_connections_;  // made with the server's mutex held
  }
  ~FakeFtpConnection() override {
    std::lock_guard<std::mutex> lock(*server_.mutex_);
    --server_.open_connections_;
  }

  const std::string& login_directory() const override { return server_.login_directory_; }

  bool list(const std::string& remote_dir, FtpListing& listing, FtpStatus& status) override {
    std::string dir = server_.resolve(remote_dir);
    std::lock_guard<std::mutex> lock(*server_.mutex_);
    server_.listed_.push_back(remote_dir);
    if (FakeFtpServer::fires(server_.list_faults_, dir, status)) return false;
    auto it = server_.nodes_.find(dir);
    if (it != server_.nodes_.end() && !it->second.link_target.empty()) {
      dir = it->second.link_target;
      it = server_.nodes_.find(dir);
    }
    if (it == server_.nodes_.end() || it->second.kind != EntryKind::kDirectory) {
      status = {ftp_errors::kExtendedError, 550};  // 550 to CWD
      return false;
    }
    listing = FtpListing();
    if (server_.cdir_) listing.unique = identity_of(dir);
    for (const std::string& name : it->second.children) {
      FtpEntry entry;
      entry.name = name;
      const FakeFtpServer::Node* node = nullptr;
      if (auto raw = server_.raw_entries_.find(dir); raw != server_.raw_entries_.end()) {
        if (auto r = raw->second.find(name); r != raw->second.end()) node = &r->second;
      }
      if (!node) node = &server_.nodes_.at(dir == "/" ? "/" + name : dir + "/" + name);
      entry.kind = node->kind;
      if (node->kind == EntryKind::kDirectory) {
        const std::string path = dir == "/" ? "/" + name : dir + "/" + name;
        entry.unique = identity_of(node->link_target.empty() ? path : node->link_target);
      }
      if (node->kind == EntryKind::kFile) {
        entry.size = node->listing_size   ? *node->listing_size
                     : node->listed_size ? *node->listed_size
                                         : node->content.size();
        entry.time.modify = node->listing_size ? node->listed_modify : node->modify;
      }
      listing.entries.push_back(std::move(entry));
    }
    if (auto b = server_.break_list_.find(dir); b != server_.break_list_.end()) {
      if (b->second.first == 0) {
        status = {b->second.second, 0};
        return false;
      }
      if (b->second.first <= listing.entries.size()) {
        listing.entries.resize(b->second.first);
        listing.cut_short = b->second.second;
      }
    }
    return true;
  }

  std::string identity(const std::string& remote_dir) override {
    std::lock_guard<std::mutex> lock(*server_.mutex_);
    return identity_of(server_.resolve(remote_dir));
  }

  bool fetch(const std::string& remote_path, std::uint64_t offset,
             std::optional<std::uint64_t> /*size*/, FetchSink& sink, FtpStatus& status) override {
    const std::string path = server_.resolve(remote_path);
    std::string content;
    bool midway = false;
    bool after_data = false;
    {
      std::lock_guard<std::mutex> lock(*server_.mutex_);
      server_.fetched_.push_back(remote_path);
      if (FakeFtpServer::fires(server_.fetch_faults_, path, status)) return false;
      auto it = server_.nodes_.find(path);
      if (it == server_.nodes_.end() || it->second.kind != EntryKind::kFile) {
        status = {ftp_errors::kExtendedError, 550};  // 550 to RETR
        return false;
      }
      FakeFtpServer::Node& node = it->second;
      if (!node.growth.empty() && node.grows_before_fetch) grow(node);
      content = node.content;
      if (!node.growth.empty()) grow(node);  // right after this fetch
      midway = FakeFtpServer::fires(server_.midway_faults_, path, status);
      after_data = !midway && FakeFtpServer::fires(server_.after_data_faults_, path, status);
    }
    if (offset > content.size()) {
      status = {ftp_errors::kExtendedError, 554};  // REST past the end
      return false;
    }
    const std::size_t left = content.size() - static_cast<std::size_t>(offset);
    const std::size_t sent = midway ? left / 2 : left;
    // In pieces where asked, so that other connections can join meanwhile;
    // a drop at a byte of the file comes when the transfer gets there.
    const std::size_t chunk = server_.chunk_ > 0 ? server_.chunk_ : std::max<std::size_t>(sent, 1);
    for (std::size_t at = static_cast<std::size_t>(offset); at < offset + sent; at += chunk) {
      std::size_t n = std::min(chunk, static_cast<std::size_t>(offset + sent - at));
      std::optional<std::uint64_t> drop;
      {
        std::lock_guard<std::mutex> lock(*server_.mutex_);
        auto d = server_.drop_at_.find(path);
        if (d != server_.drop_at_.end() && d->second.first >= at && d->second.first < at + n &&
            d->second.second.times != 0) {
          drop = d->second.first;
        }
      }
      if (drop) n = static_cast<std::size_t>(*drop - at);
      if (n > 0 && !sink.write(content.data() + at, n)) {
        status = {ftp_errors::kInternalError, 0};
        return false;
      }
      if (drop) {
        std::lock_guard<std::mutex> lock(*server_.mutex_);
        FakeFtpServer::Fault& fault = server_.drop_at_.at(path).second;
        if (fault.times > 0) --fault.times;
        status = fault.status;
        return false;
      }
      if (server_.chunk_ > 0) std::this_thread::yield();
    }
    return !midway && !after_data;
  }

  bool look(const std::string& remote_path, unsigned wanted, RemoteFacts& facts,
            FtpStatus& status) override {
    const std::string path = server_.resolve(remote_path);
    std::lock_guard<std::mutex> lock(*server_.mutex_);
    server_.looked_.push_back(remote_path);
    facts = RemoteFacts();
    auto it = server_.nodes_.find(path);
    if (it == server_.nodes_.end() || it->second.kind != EntryKind::kFile) {
      status = {ftp_errors::kExtendedError, 550};
      return false;
    }
    const FakeFtpServer::Node& node = it->second;
    // A listed size set on purpose is what the server says, SIZE included.
    if (wanted & kSize) facts.size = node.listed_size ? *node.listed_size : node.content.size();
    facts.modify = node.modify;
    return true;
  }

 private:
  // The file grows as grow_file said.
  static void grow(FakeFtpServer::Node& node) {
    node.content += node.growth;
    node.growth.clear();
    node.modify = "20991231235959";
  }

  // What MLSD's "unique" fact would say of the directory at `path` (a
  // resolved path): empty unless the server reports identities.
  std::string identity_of(const std::string& path) const {
    return server_.identities_ ? "id" + path : std::string();
  }

  FakeFtpServer& server_;
};

std::unique_ptr<FtpConnection> FakeFtpClient::connect(const FtpAccount& account,
                                                      FtpStatus& status,
                                                      const std::atomic<bool>* /*stop*/) {
  std::lock_guard<std::mutex> lock(*server_.mutex_);
  server_.connects_.push_back(account);
  if (account.port == 0) server_.connects_.back().port = 21;
  if (server_.connect_fault_ && server_.connect_fault_->times != 0 &&
      server_.connects_before_fault_-- <= 0) {
    if (server_.connect_fault_->times > 0) --server_.connect_fault_->times;
    status = server_.connect_fault_->status;
    return nullptr;
  }
  if (server_.connection_limit_ >= 0 && server_.open_connections_ >= server_.connection_limit_) {
    status = {ftp_errors::kExtendedError, 421};
    return nullptr;
  }
  ++server_.logins_;
  return std::make_unique<FakeFtpConnection>(server_);
}

}  // namespace vandrisk
