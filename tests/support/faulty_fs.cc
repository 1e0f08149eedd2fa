#include "support/faulty_fs.h"

#include <algorithm>

namespace qm::test {
namespace {

constexpr uint64_t kRoot = 1;

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!out.empty()) out.pop_back();
    } else if (!part.empty() && part != ".") {
      out.push_back(part);
    }
    i = j + 1;
  }
  return out;
}

}  // namespace

BytesMapping::BytesMapping(std::string bytes) : bytes_(std::move(bytes)) {
  data_ = reinterpret_cast<const uint8_t*>(bytes_.data());
  size_ = bytes_.size();
}

FaultyFs::FaultyFs() { nodes_[kRoot].dir = true; }

void FaultyFs::fail_nth(Op op, uint64_t n, int e) {
  faults_.push_back({op, calls(op) + n, false, e, std::nullopt});
}
void FaultyFs::fail_from(Op op, uint64_t n, int e) {
  faults_.push_back({op, calls(op) + n, true, e, std::nullopt});
}
void FaultyFs::cut_write(uint64_t n, size_t keep) {
  faults_.push_back({Op::Write, calls(Op::Write) + n, false, ENOSPC, keep});
}
void FaultyFs::clear_faults() { faults_.clear(); }

int FaultyFs::tick(Op op, std::optional<size_t>* keep) {
  uint64_t n = ++counts_[static_cast<size_t>(op)];
  for (const Fault& f : faults_) {
    if (f.op != op) continue;
    if (f.at == n || (f.from && n >= f.at)) {
      if (keep) *keep = f.keep;
      return f.err;
    }
  }
  return 0;
}

QmError FaultyFs::err(const char* op, const std::string& path, int e) const {
  return QmError::from_errno(std::string(op) + " " + path, e);
}

void FaultyFs::power_loss() {
  for (auto& [id, node] : nodes_) {
    node.data = node.durable_data;
    node.entries = node.durable_entries;
  }
  handles_.clear();
  locks_.clear();
}

std::optional<FaultyFs::Resolved> FaultyFs::resolve(const std::string& path) const {
  auto parts = components(path);
  Resolved r;
  r.parent = kRoot;
  if (parts.empty()) {
    r.node = kRoot;
    return r;
  }
  uint64_t cur = kRoot;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const Node& n = nodes_.at(cur);
    if (!n.dir) return std::nullopt;
    auto it = n.entries.find(parts[i]);
    if (it == n.entries.end()) return std::nullopt;
    cur = it->second;
  }
  const Node& parent = nodes_.at(cur);
  if (!parent.dir) return std::nullopt;
  r.parent = cur;
  r.name = parts.back();
  auto it = parent.entries.find(r.name);
  if (it != parent.entries.end()) r.node = it->second;
  return r;
}

uint64_t FaultyFs::new_node(bool dir) {
  uint64_t id = next_node_++;
  nodes_[id].dir = dir;
  return id;
}

Result<const FaultyFs::Handle*> FaultyFs::handle(const fs::File& f) const {
  auto it = handles_.find(handle_of(f));
  if (it == handles_.end()) return fail(err("use of", f.path(), EBADF));
  return &it->second;
}

bool FaultyFs::exists(const std::string& path) const {
  auto r = resolve(path);
  return r && r->node;
}

std::optional<std::string> FaultyFs::contents(const std::string& path) const {
  auto r = resolve(path);
  if (!r || !r->node || nodes_.at(*r->node).dir) return std::nullopt;
  return nodes_.at(*r->node).data;
}

void FaultyFs::make_dirs(const std::string& path) {
  uint64_t cur = kRoot;
  for (const auto& part : components(path)) {
    Node& n = nodes_.at(cur);
    auto it = n.entries.find(part);
    uint64_t next;
    if (it == n.entries.end()) {
      next = new_node(true);
      nodes_.at(cur).entries[part] = next;
      nodes_.at(cur).durable_entries[part] = next;
    } else {
      next = it->second;
    }
    cur = next;
  }
}

void FaultyFs::put_file(const std::string& path, const std::string& bytes) {
  make_dirs(fs::parent_dir(path));
  auto r = resolve(path);
  uint64_t id = r->node ? *r->node : new_node(false);
  Node& n = nodes_.at(id);
  n.data = n.durable_data = bytes;
  nodes_.at(r->parent).entries[r->name] = id;
  nodes_.at(r->parent).durable_entries[r->name] = id;
}

Result<fs::File> FaultyFs::open(const std::string& path, unsigned flags, uint32_t) {
  if (int e = tick(Op::Open)) return fail(err("open", path, e));
  auto r = resolve(path);
  if (!r) return fail(err("open", path, ENOENT));
  uint64_t id;
  if (r->node) {
    if ((flags & fs::kCreate) && (flags & fs::kExclusive)) return fail(err("open", path, EEXIST));
    id = *r->node;
    Node& n = nodes_.at(id);
    if (n.dir && (flags & (fs::kWrite | fs::kTruncate))) return fail(err("open", path, EISDIR));
    if (!n.dir && (flags & fs::kDirectory)) return fail(err("open", path, ENOTDIR));
    if (flags & fs::kTruncate) n.data.clear();
  } else {
    if (!(flags & fs::kCreate) || (flags & fs::kDirectory)) return fail(err("open", path, ENOENT));
    id = new_node(false);
    nodes_.at(r->parent).entries[r->name] = id;
  }
  int h = next_handle_++;
  handles_[h] = Handle{id, (flags & fs::kWrite) != 0};
  return fs::File(this, h, path);
}

Result<uint64_t> FaultyFs::existing(Op op, const char* what, const std::string& path, std::optional<bool> dir) {
  if (int e = tick(op)) return fail(err(what, path, e));
  auto r = resolve(path);
  if (!r || !r->node) return fail(err(what, path, ENOENT));
  if (dir && nodes_.at(*r->node).dir != *dir) return fail(err(what, path, *dir ? ENOTDIR : EISDIR));
  return *r->node;
}

fs::Stat FaultyFs::stat_of(uint64_t id) const {
  const Node& n = nodes_.at(id);
  fs::Stat st;
  st.kind = n.dir ? fs::EntryKind::Directory : fs::EntryKind::Regular;
  st.size = n.dir ? 0 : n.data.size();
  st.inode = id;
  st.mode = n.mode;
  return st;
}

Result<fs::File> FaultyFs::open_tmpfile(const std::string& dir) {
  QM_TRY(existing(Op::TmpFile, "open O_TMPFILE in", dir, true));
  int h = next_handle_++;
  handles_[h] = Handle{new_node(false), true};
  return fs::File(this, h, dir + "/(unnamed)");
}

Result<void> FaultyFs::rename(const std::string& from, const std::string& to) {
  std::string what = from + " to " + to;
  if (int e = tick(Op::Rename)) return fail(err("rename", what, e));
  auto a = resolve(from);
  if (!a || !a->node) return fail(err("rename", what, ENOENT));
  auto b = resolve(to);
  if (!b) return fail(err("rename", what, ENOENT));
  uint64_t moving = *a->node;
  if (b->node) {
    if (*b->node == moving) return {};
    const Node& target = nodes_.at(*b->node);
    bool src_dir = nodes_.at(moving).dir;
    if (target.dir && !src_dir) return fail(err("rename", what, EISDIR));
    if (!target.dir && src_dir) return fail(err("rename", what, ENOTDIR));
    if (target.dir && !target.entries.empty()) return fail(err("rename", what, ENOTEMPTY));
  }
  nodes_.at(a->parent).entries.erase(a->name);
  nodes_.at(b->parent).entries[b->name] = moving;
  return {};
}

Result<void> FaultyFs::rename_noreplace(const std::string& from, const std::string& to) {
  auto b = resolve(to);
  if (b && b->node) {
    if (int e = tick(Op::Rename)) return fail(err("rename", from + " to " + to, e));
    return fail(err("rename", from + " to " + to, EEXIST));
  }
  return rename(from, to);
}

Result<void> FaultyFs::unlink(const std::string& path) {
  if (int e = tick(Op::Unlink)) return fail(err("unlink", path, e));
  auto r = resolve(path);
  if (!r || !r->node) return fail(err("unlink", path, ENOENT));
  if (nodes_.at(*r->node).dir) return fail(err("unlink", path, EISDIR));
  nodes_.at(r->parent).entries.erase(r->name);
  return {};
}

Result<void> FaultyFs::mkdir(const std::string& path, uint32_t) {
  if (int e = tick(Op::Mkdir)) return fail(err("mkdir", path, e));
  auto r = resolve(path);
  if (!r) return fail(err("mkdir", path, ENOENT));
  if (r->node) return fail(err("mkdir", path, EEXIST));
  uint64_t id = new_node(true);
  nodes_.at(r->parent).entries[r->name] = id;
  return {};
}

Result<void> FaultyFs::rmdir(const std::string& path) {
  if (int e = tick(Op::Rmdir)) return fail(err("rmdir", path, e));
  auto r = resolve(path);
  if (!r || !r->node) return fail(err("rmdir", path, ENOENT));
  const Node& n = nodes_.at(*r->node);
  if (!n.dir) return fail(err("rmdir", path, ENOTDIR));
  if (!n.entries.empty()) return fail(err("rmdir", path, ENOTEMPTY));
  nodes_.at(r->parent).entries.erase(r->name);
  return {};
}

Result<void> FaultyFs::chmod(const std::string& path, uint32_t mode) {
  QM_ASSIGN(uint64_t id, existing(Op::Stat, "chmod", path));
  nodes_.at(id).mode = mode & 07777u;
  return {};
}

Result<std::optional<fs::Stat>> FaultyFs::lstat(const std::string& path) {
  if (int e = tick(Op::Stat)) return fail(err("lstat", path, e));
  auto r = resolve(path);
  if (!r || !r->node) return std::optional<fs::Stat>();
  return std::optional<fs::Stat>(stat_of(*r->node));
}

Result<std::optional<fs::Stat>> FaultyFs::stat(const std::string& path) { return lstat(path); }

Result<std::vector<std::string>> FaultyFs::list_dir(const std::string& path) {
  QM_ASSIGN(uint64_t id, existing(Op::List, "opendir", path, true));
  std::vector<std::string> names;
  for (const auto& [name, child] : nodes_.at(id).entries) names.push_back(name);
  return names;
}

Result<void> FaultyFs::sync_many(std::span<const fs::SyncItem> items) {
  // Flushed one by one in the order given (the default), counted as one wait.
  if (!items.empty()) ++waits_;
  in_group_ = true;
  auto r = fs::FileSystem::sync_many(items);
  in_group_ = false;
  return r;
}

Result<void> FaultyFs::sync_dir(const std::string& path) {
  if (!in_group_) ++waits_;
  QM_ASSIGN(uint64_t id, existing(Op::SyncDir, "fsync", path, true));
  nodes_.at(id).durable_entries = nodes_.at(id).entries;
  return {};
}

Result<size_t> FaultyFs::read_at(const fs::File& f, std::span<uint8_t> buf, uint64_t offset) {
  QM_ASSIGN(const Handle* h, handle(f));
  if (int e = tick(Op::Read)) return fail(err("read", f.path(), e));
  const Node& n = nodes_.at(h->node);
  if (n.dir) return fail(err("read", f.path(), EISDIR));
  if (offset >= n.data.size()) return size_t{0};
  size_t count = std::min<size_t>(buf.size(), n.data.size() - offset);
  std::copy_n(n.data.data() + offset, count, reinterpret_cast<char*>(buf.data()));
  return count;
}

Result<void> FaultyFs::write_all_at(const fs::File& f, std::span<const uint8_t> data, uint64_t offset) {
  QM_ASSIGN(const Handle* h, handle(f));
  std::optional<size_t> keep;
  int e = tick(Op::Write, &keep);
  if (!h->writable && e == 0) e = EBADF;
  size_t count = data.size();
  if (e != 0) {
    if (!keep) return fail(err("write", f.path(), e));
    count = std::min(count, *keep);
  }
  Node& n = nodes_.at(h->node);
  if (count > 0) {
    if (n.data.size() < offset + count) n.data.resize(offset + count, '\0');
    std::copy_n(reinterpret_cast<const char*>(data.data()), count, n.data.data() + offset);
  }
  if (e != 0) return fail(err("write", f.path(), e));
  return {};
}

Result<uint64_t> FaultyFs::size(const fs::File& f) {
  QM_ASSIGN(const Handle* h, handle(f));
  if (int e = tick(Op::Size)) return fail(err("fstat", f.path(), e));
  return nodes_.at(h->node).data.size();
}

Result<fs::Stat> FaultyFs::fstat(const fs::File& f) {
  QM_ASSIGN(const Handle* h, handle(f));
  if (int e = tick(Op::Size)) return fail(err("fstat", f.path(), e));
  return stat_of(h->node);
}

Result<void> FaultyFs::truncate(const fs::File& f, uint64_t length) {
  QM_ASSIGN(const Handle* h, handle(f));
  if (int e = tick(Op::Truncate)) return fail(err("truncate", f.path(), e));
  if (!h->writable) return fail(err("truncate", f.path(), EINVAL));
  nodes_.at(h->node).data.resize(length, '\0');
  return {};
}

Result<void> FaultyFs::sync(const fs::File& f) {
  QM_ASSIGN(const Handle* h, handle(f));
  if (!in_group_) ++waits_;
  if (int e = tick(Op::Sync)) return fail(err("fsync", f.path(), e));
  Node& n = nodes_.at(h->node);
  n.durable_data = n.data;
  if (n.dir) n.durable_entries = n.entries;
  return {};
}

Result<bool> FaultyFs::try_lock_exclusive(const fs::File& f) {
  QM_ASSIGN(const Handle* h, handle(f));
  if (int e = tick(Op::Lock)) return fail(err("flock", f.path(), e));
  auto it = locks_.find(h->node);
  if (it != locks_.end() && it->second != handle_of(f)) return false;
  locks_[h->node] = handle_of(f);
  return true;
}

Result<void> FaultyFs::unlock(const fs::File& f) {
  QM_ASSIGN(const Handle* h, handle(f));
  auto it = locks_.find(h->node);
  if (it != locks_.end() && it->second == handle_of(f)) locks_.erase(it);
  return {};
}

Result<std::shared_ptr<const fs::Mapping>> FaultyFs::map_readonly(const fs::File& f, uint64_t length) {
  QM_ASSIGN(const Handle* h, handle(f));
  if (int e = tick(Op::Map)) return fail(err("mmap", f.path(), e));
  const Node& n = nodes_.at(h->node);
  if (length > n.data.size()) return fail(err("mmap", f.path(), EINVAL));
  return std::shared_ptr<const fs::Mapping>(std::make_shared<BytesMapping>(n.data.substr(0, length)));
}

void FaultyFs::close(int h) {
  for (auto it = locks_.begin(); it != locks_.end();) {
    if (it->second == h) it = locks_.erase(it);
    else ++it;
  }
  handles_.erase(h);
}

}  // namespace qm::test
