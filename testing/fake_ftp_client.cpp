#include "testing/fake_ftp_client.h"

#include <stdexcept>

#include "platform/platform.h"

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

void FakeFtpServer::break_listing(const std::string& dir, std::size_t entries, FtpError error) {
  break_list_[normalize(dir)] = {entries, error};
}

namespace {

class FakeFtpListing : public FtpListing {
 public:
  FakeFtpListing(std::vector<FtpEntry> entries, std::size_t next, std::optional<std::size_t> break_at,
                 FtpError break_error)
      : entries_(std::move(entries)), next_(next), break_at_(break_at), break_error_(break_error) {}

  bool next(FtpEntry& entry, FtpError& error) override {
    if (break_at_ && next_ >= *break_at_) {
      error = break_error_;
      return false;
    }
    if (next_ >= entries_.size()) {
      error = ftp_errors::kNoMoreFiles;
      return false;
    }
    entry = entries_[next_++];
    return true;
  }

 private:
  std::vector<FtpEntry> entries_;
  std::size_t next_;
  std::optional<std::size_t> break_at_;
  FtpError break_error_;
};

}  // namespace

class FakeFtpConnection : public FtpConnection {
 public:
  explicit FakeFtpConnection(FakeFtpServer& server) : server_(server) {}

  std::unique_ptr<FtpListing> find_first(const std::string& remote_dir, FtpEntry& first,
                                         FtpError& error) override {
    server_.listed_.push_back(remote_dir);
    const std::string dir = FakeFtpServer::normalize(remote_dir);
    if (auto failure = server_.fail_list_.find(dir); failure != server_.fail_list_.end()) {
      error = failure->second;
      return nullptr;
    }
    auto it = server_.nodes_.find(dir);
    if (it == server_.nodes_.end() || it->second.kind != EntryKind::kDirectory) {
      error = ftp_errors::kExtendedError;  // 550 to CWD
      return nullptr;
    }
    std::vector<FtpEntry> entries;
    for (const std::string& name : it->second.children) {
      FtpEntry entry;
      entry.name = name;
      const FakeFtpServer::Node* node = nullptr;
      if (auto raw = server_.raw_entries_.find(dir); raw != server_.raw_entries_.end()) {
        if (auto r = raw->second.find(name); r != raw->second.end()) node = &r->second;
      }
      if (!node) node = &server_.nodes_.at(dir == "/" ? "/" + name : dir + "/" + name);
      entry.kind = node->kind;
      if (node->kind == EntryKind::kFile) {
        entry.size = node->listed_size ? *node->listed_size : node->content.size();
      }
      entries.push_back(std::move(entry));
    }
    std::optional<std::size_t> break_at;
    FtpError break_error = ftp_errors::kNone;
    if (auto b = server_.break_list_.find(dir); b != server_.break_list_.end()) {
      break_at = b->second.first;
      break_error = b->second.second;
    }
    if (entries.empty() || (break_at && *break_at == 0)) {
      error = entries.empty() && !break_at ? ftp_errors::kNoMoreFiles : break_error;
      return nullptr;
    }
    first = entries.front();
    return std::make_unique<FakeFtpListing>(std::move(entries), 1, break_at, break_error);
  }

  bool get_file(const std::string& remote_path, const std::string& local_path,
                std::optional<std::uint64_t> expected_size, FtpError& error) override {
    server_.fetched_.push_back(remote_path);
    const std::string path = FakeFtpServer::normalize(remote_path);
    if (auto failure = server_.fail_get_.find(path); failure != server_.fail_get_.end()) {
      error = failure->second;
      return false;
    }
    auto it = server_.nodes_.find(path);
    if (it == server_.nodes_.end() || it->second.kind != EntryKind::kFile) {
      error = ftp_errors::kExtendedError;  // 550 to RETR
      return false;
    }
    std::unique_ptr<platform::NewLocalFile> file = platform::create_new_file(local_path);
    if (!file) {
      error = ftp_errors::kInternalError;
      return false;
    }
    const std::string& content = it->second.content;
    if (auto midway = server_.midway_get_.find(path); midway != server_.midway_get_.end()) {
      file->write(content.data(), content.size() / 2);
      error = midway->second;
      return false;  // the unpublished file is discarded
    }
    if (!file->write(content.data(), content.size())) {
      error = ftp_errors::kInternalError;
      return false;
    }
    if (expected_size && *expected_size != content.size()) {
      error = *expected_size > content.size() ? ftp_errors::kConnectionAborted
                                              : ftp_errors::kInternalError;
      return false;
    }
    if (!file->publish()) {
      error = ftp_errors::kInternalError;
      return false;
    }
    return true;
  }

 private:
  FakeFtpServer& server_;
};

class FakeFtpSession : public FtpSession {
 public:
  FakeFtpSession(FakeFtpServer& server, FakeFtpClient& client) : server_(server), client_(client) {}

  std::unique_ptr<FtpConnection> connect(const std::string& host, std::uint16_t port, const char* user,
                                         const char* pwd, FtpError& error) override {
    server_.connects_.push_back({user == nullptr, user ? user : "", pwd ? pwd : "", host,
                                 static_cast<std::uint16_t>(port == 0 ? 21 : port)});
    if (server_.fail_connect_) {
      error = *server_.fail_connect_;
      return nullptr;
    }
    if (!client_.logged_in_) {
      client_.logged_in_ = true;
      ++server_.logins_;
    }
    return std::make_unique<FakeFtpConnection>(server_);
  }

 private:
  FakeFtpServer& server_;
  FakeFtpClient& client_;
};

std::unique_ptr<FtpSession> FakeFtpClient::open_session(const std::string&, FtpError& error) {
  if (server_.fail_session_) {
    error = *server_.fail_session_;
    return nullptr;
  }
  return std::make_unique<FakeFtpSession>(server_, *this);
}

}  // namespace vandrisk
