#include "storage/cas_store.h"

#include <cstring>

#include "core/bytes.h"
#include "core/large_buffer.h"

namespace qm::storage {
namespace {

QmError integrity_failure(std::string_view hex) {
  return QmError::corruption("CAS blob " + std::string(hex) + " failed integrity check");
}

QmError listed_twice(std::string_view hex) {
  return QmError::corruption("CAS digest " + std::string(hex) + " is listed twice");
}

// Bytes owned by a memory store and lent out like a mapping's: an imported or copied blob
// pool.
class PoolBytes final : public fs::Mapping {
 public:
  explicit PoolBytes(std::span<const uint8_t> bytes) : PoolBytes(bytes.size()) {
    if (!bytes.empty()) std::memcpy(buffer_.data, bytes.data(), bytes.size());
  }
  explicit PoolBytes(size_t n) : buffer_(allocate_large(n)) {
    data_ = buffer_.data;
    size_ = n;
  }
  ~PoolBytes() override { release_large(buffer_); }
  PoolBytes(const PoolBytes&) = delete;
  PoolBytes& operator=(const PoolBytes&) = delete;
  uint8_t* data() { return buffer_.data; }

 private:
  LargeBuffer buffer_;
};

}  // namespace

size_t CasStore::DigestHash::operator()(const Digest& d) const noexcept { return load_u64(d.data()); }

CasStore CasStore::new_dev(std::string root) {
  CasStore s;
  s.root_ = std::move(root);
  return s;
}

CasStore CasStore::new_memory() { return CasStore(); }

void CasStore::truncate(uint64_t count) {
  while (entries_.size() > count) {
    by_digest_.erase(entries_.back().digest);
    total_bytes_ -= entries_.back().mapped ? entries_.back().map_length : entries_.back().owned.size();
    entries_.pop_back();
  }
  if (hashes_json_.size() > entries_.size() * kNameTextWidth) hashes_json_.resize(entries_.size() * kNameTextWidth);
}

void CasStore::set_name_text(uint64_t index) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const size_t at = index * kNameTextWidth;
  if (hashes_json_.size() < at + kNameTextWidth) hashes_json_.resize(at + kNameTextWidth);
  char* out = hashes_json_.data() + at;
  *out++ = '"';
  for (uint8_t b : entries_[index].digest) {
    *out++ = kDigits[b >> 4];
    *out++ = kDigits[b & 15];
  }
  *out++ = '"';
  *out = ',';
}

uint64_t CasStore::append(const Digest& digest, std::string owned) {
  uint64_t index = entries_.size();
  total_bytes_ += owned.size();
  Entry e;
  e.digest = digest;
  e.owned = std::move(owned);
  entries_.push_back(std::move(e));
  by_digest_.emplace(digest, index);
  set_name_text(index);
  return index;
}

Result<CasStore> CasStore::load_dev(std::string root, std::span<const std::string> hashes) {
  CasStore s = new_dev(std::move(root));
  s.reserve(hashes.size());
  for (const std::string& h : hashes) {
    QM_ASSIGN(Digest d, cas::parse_hex32(h));
    if (s.by_digest_.contains(d)) return fail(listed_twice(h));
    QM_ASSIGN(std::string bytes, fs::read_file(cas::blob_path(*s.root_, h)));
    if (blake3(bytes) != d) return fail(integrity_failure(h));
    s.append(d, std::move(bytes));
  }
  return s;
}

Result<void> CasStore::follow_listing(std::span<const std::string> hashes) {
  if (!root_ || map_ || undo_)
    return fail(QmError::transaction("a blob store follows a new listing only on a workspace, between transactions"));
  // Everything that can fail comes first: the digests, and the bytes of the blobs not held.
  std::vector<Digest> digests;
  digests.reserve(hashes.size());
  std::unordered_map<Digest, uint64_t, DigestHash> listed;
  std::map<uint64_t, std::string> read;
  bool prefix = hashes.size() >= entries_.size();
  for (uint64_t i = 0; i < hashes.size(); ++i) {
    QM_ASSIGN(Digest d, cas::parse_hex32(hashes[i]));
    digests.push_back(d);
    const bool in_place = prefix && i < entries_.size() && entries_[i].digest == d;
    prefix = prefix && (i >= entries_.size() || in_place);
    if (in_place) {
      if (listed.contains(d)) return fail(listed_twice(hashes[i]));
      continue;
    }
    if (!listed.emplace(d, i).second) return fail(listed_twice(hashes[i]));
    if (auto held = by_digest_.find(d); held != by_digest_.end()) {
      // Held at a position the list names in place too: the list names it twice.
      const uint64_t j = held->second;
      if (j < i && digests[j] == d) return fail(listed_twice(hashes[i]));
      continue;
    }
    QM_ASSIGN(std::string bytes, fs::read_file(cas::blob_path(*root_, hashes[i])));
    if (blake3(bytes) != d) return fail(integrity_failure(hashes[i]));
    read.emplace(i, std::move(bytes));
  }
  if (prefix) {
    for (uint64_t i = entries_.size(); i < digests.size(); ++i) append(digests[i], std::move(read[i]));
    for (auto& e : entries_) e.replaceable = false;
    return {};
  }
  // A list that was reordered or had a slot replaced: the held bytes move to their new places.
  std::vector<Entry> old = std::move(entries_);
  std::unordered_map<Digest, uint64_t, DigestHash> old_index = std::move(by_digest_);
  entries_.clear();
  by_digest_.clear();
  hashes_json_.clear();  // a shorter list must not keep the old list's tail
  total_bytes_ = 0;
  entries_.reserve(digests.size());
  for (uint64_t i = 0; i < digests.size(); ++i) {
    auto it = read.find(i);
    append(digests[i], it != read.end() ? std::move(it->second) : std::move(old[old_index.at(digests[i])].owned));
  }
  return {};
}

Result<CasStore> CasStore::from_mapped(std::shared_ptr<const fs::Mapping> map, uint64_t pool_start, uint64_t pool_end,
                                       std::span<const CasExtent> directory, std::span<const std::string> hashes) {
  if (directory.size() != hashes.size()) return fail(QmError::corruption("CAS directory / hash catalog length mismatch"));
  if (pool_start > pool_end || pool_end > map->size()) return fail(QmError::corruption("CAS pool bounds are inconsistent"));
  CasStore s;
  s.reserve(hashes.size());
  std::span<const uint8_t> bytes = map->bytes();
  for (size_t i = 0; i < hashes.size(); ++i) {
    QM_ASSIGN(Digest d, cas::parse_hex32(hashes[i]));
    uint64_t start, end;
    if (__builtin_add_overflow(pool_start, directory[i].offset, &start)) return fail(QmError::corruption("CAS offset overflow"));
    if (__builtin_add_overflow(start, directory[i].length, &end)) return fail(QmError::corruption("CAS extent overflow"));
    if (end > pool_end)
      return fail(QmError::corruption("CAS blob " + std::to_string(i) + " extends past end of pool (" +
                                      std::to_string(end) + " > " + std::to_string(pool_end) + ")"));
    if (blake3(bytes.subspan(start, end - start)) != d) return fail(integrity_failure(hashes[i]));
    if (s.by_digest_.contains(d)) return fail(listed_twice(hashes[i]));
    Entry e;
    e.digest = d;
    e.mapped = true;
    e.map_offset = start;
    e.map_length = end - start;
    s.total_bytes_ += e.map_length;
    s.entries_.push_back(std::move(e));
    s.by_digest_.emplace(d, i);
    s.set_name_text(i);
  }
  s.map_ = std::move(map);
  return s;
}

Result<void> CasStore::write_blob_file(const Digest& digest, std::span<const uint8_t> bytes) {
  std::string h = cas::hex(digest);
  std::string path = cas::blob_path(*root_, h);
  std::string dir = fs::parent_dir(path);
  // A file already there is kept only when it holds exactly these bytes: a leftover of an
  // interrupted write must not stand in for the blob.
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (st && st->kind == fs::EntryKind::Regular && st->size == bytes.size()) {
    auto existing = fs::read_file(path);
    if (existing && existing->size() == bytes.size() && blake3(*existing) == digest) {
      pending_files_.insert(path);
      pending_dirs_.insert(dir);
      return {};
    }
  }
  // A new file (and the directories it needs) is told first, so its scope can undo it.
  if (!st) {
    if (auto watcher = new_file_watcher_.lock()) QM_TRY(watcher->before_create(digest));
  }
  QM_ASSIGN(auto created, fs::mkdir_all(dir));
  for (const auto& d : created) pending_dirs_.insert(fs::parent_dir(d));
  fs::AtomicWriteOptions opts;
  opts.sync_file = false;
  opts.sync_dir = false;
  // Named after the blob, so the undo of a scope killed mid-write finds it (cas::temp_path).
  opts.temp_path = cas::temp_path(path);
  QM_TRY(fs::write_file_atomic(path, bytes, opts));
  pending_files_.insert(path);
  pending_dirs_.insert(dir);
  return {};
}

Result<uint64_t> CasStore::put(std::span<const uint8_t> bytes) {
  Digest d = blake3(bytes);
  if (auto it = by_digest_.find(d); it != by_digest_.end()) {
    entries_[it->second].replaceable = false;
    return it->second;
  }
  if (root_) QM_TRY(write_blob_file(d, bytes));
  return append(d, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<uint64_t> CasStore::replace(uint64_t index, std::span<const uint8_t> bytes) {
  return replace(index, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), blake3(bytes));
}

Result<uint64_t> CasStore::replace(uint64_t index, std::string&& owned, const Digest& d) {
  if (auto it = by_digest_.find(d); it != by_digest_.end()) {
    entries_[it->second].replaceable = false;
    return it->second;
  }
  if (root_) QM_TRY(write_blob_file(d, as_bytes(owned)));
  if (index >= entries_.size() || !entries_[index].replaceable) {
    uint64_t fresh = append(d, std::move(owned));
    entries_[fresh].replaceable = true;
    return fresh;
  }
  Entry& e = entries_[index];
  if (undo_ && index < undo_limit_ && !undo_->contains(index)) undo_->emplace(index, e);
  if (auto old = by_digest_.find(e.digest); old != by_digest_.end() && old->second == index) by_digest_.erase(old);
  total_bytes_ -= e.mapped ? e.map_length : e.owned.size();
  e = Entry{};
  e.digest = d;
  e.owned = std::move(owned);
  e.replaceable = true;
  total_bytes_ += e.owned.size();
  by_digest_.emplace(d, index);
  set_name_text(index);
  return index;
}

void CasStore::begin_undo() {
  undo_.emplace();
  undo_limit_ = entries_.size();
}

void CasStore::undo_replaced() {
  if (!undo_) return;
  for (auto& [index, before] : *undo_) {
    if (index >= entries_.size()) continue;
    Entry& e = entries_[index];
    if (auto now = by_digest_.find(e.digest); now != by_digest_.end() && now->second == index) by_digest_.erase(now);
    total_bytes_ -= e.mapped ? e.map_length : e.owned.size();
    e = std::move(before);
    total_bytes_ += e.mapped ? e.map_length : e.owned.size();
    by_digest_.emplace(e.digest, index);
    set_name_text(index);
  }
  undo_.reset();
}

void CasStore::end_undo() { undo_.reset(); }

Result<uint64_t> CasStore::put_listed(std::span<const uint8_t> bytes) { return put_listed(bytes, blake3(bytes)); }

Result<uint64_t> CasStore::put_listed(std::span<const uint8_t> bytes, const Digest& digest) {
  if (by_digest_.contains(digest)) return fail(listed_twice(cas::hex(digest)));
  if (root_) QM_TRY(write_blob_file(digest, bytes));
  return append(digest, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void CasStore::reserve(size_t count) {
  entries_.reserve(count);
  by_digest_.reserve(count);
  hashes_json_.reserve(count * kNameTextWidth);
}

Result<CasStore> CasStore::copy_to_memory() const {
  CasStore s = new_memory();
  s.reserve(entries_.size());
  // Bytes lent from a pool or mapping are never changed once there, so the copy lends them
  // from the same one; only blobs held one by one are copied.
  s.map_ = map_;
  for (uint64_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (s.by_digest_.contains(e.digest)) return fail(listed_twice(cas::hex(e.digest)));
    if (e.mapped) {
      QM_TRY(s.put_listed_at(e.map_offset, e.map_length, e.digest));
    } else {
      s.append(e.digest, e.owned);
    }
  }
  return s;
}

CasStore CasStore::over_pool_copy(std::span<const uint8_t> pool) { return lending(std::make_shared<PoolBytes>(pool)); }

CasStore CasStore::lending(std::shared_ptr<const fs::Mapping> bytes) {
  CasStore s = new_memory();
  s.map_ = std::move(bytes);
  return s;
}

Result<uint64_t> CasStore::put_listed_at(uint64_t offset, uint64_t length, const Digest& digest) {
  const uint64_t index = entries_.size();
  Entry& e = entries_.emplace_back();
  e.digest = digest;
  e.mapped = true;
  e.map_offset = offset;
  e.map_length = length;
  // One look-up: a digest already held is refused, and the entry just added goes again.
  if (!by_digest_.try_emplace(digest, index).second) {
    entries_.pop_back();
    return fail(listed_twice(cas::hex(digest)));
  }
  total_bytes_ += length;
  set_name_text(index);
  return index;
}

Result<std::span<const uint8_t>> CasStore::get(uint64_t index) const {
  if (index >= entries_.size()) return fail(QmError::cas_miss("id " + std::to_string(index)));
  const Entry& e = entries_[index];
  if (e.mapped) return map_->bytes().subspan(e.map_offset, e.map_length);
  return as_bytes(e.owned);
}

std::optional<uint64_t> CasStore::find(const Digest& digest) const {
  auto it = by_digest_.find(digest);
  if (it == by_digest_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> CasStore::hashes_hex() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(cas::hex(e.digest));
  return out;
}

PackedPool CasStore::pack() const {
  PackedPool p;
  p.pool.reserve(total_bytes_);
  p.directory.reserve(entries_.size());
  for (uint64_t i = 0; i < entries_.size(); ++i) {
    auto bytes = *get(i);
    p.directory.push_back({p.pool.size(), bytes.size()});
    p.pool.append(as_chars(bytes));
  }
  return p;
}

std::vector<CasExtent> CasStore::pool_directory() const {
  std::vector<CasExtent> directory;
  directory.reserve(entries_.size());
  uint64_t offset = 0;
  for (const Entry& e : entries_) {
    const uint64_t length = e.mapped ? e.map_length : e.owned.size();
    directory.push_back({offset, length});
    offset += length;
  }
  return directory;
}

void CasStore::write_pool(std::span<uint8_t> out) const {
  uint8_t* at = out.data();
  for (uint64_t i = 0; i < entries_.size(); ++i) {
    auto bytes = *get(i);
    if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    at += bytes.size();
  }
}

Result<void> CasStore::sync_data() {
  fs::SyncGroup group;
  add_sync(group);
  QM_TRY(group.run());
  synced();
  return {};
}

void CasStore::add_sync(fs::SyncGroup& group) {
  syncing_files_ = pending_files_;
  syncing_dirs_ = pending_dirs_;
  for (const std::string& path : syncing_files_) group.add_path(path);
  for (const std::string& dir : syncing_dirs_) group.add_dir(dir);
}

void CasStore::synced() {
  // Only what the group flushed: a blob written since stays pending.
  for (const std::string& path : syncing_files_) pending_files_.erase(path);
  for (const std::string& dir : syncing_dirs_) pending_dirs_.erase(dir);
  syncing_files_.clear();
  syncing_dirs_.clear();
}

namespace cas {

std::string hex(const Digest& digest) { return to_hex(digest); }

std::string blob_path(std::string_view root, std::string_view hex) {
  std::string out = fs::join(root, "blobs");
  out += '/';
  out.append(hex.substr(0, 2));
  out += '/';
  out.append(hex);
  return out;
}

Result<Digest> parse_hex32(std::string_view text) {
  if (text.size() != 64) return fail(QmError::corruption("bad CAS hash length: " + std::to_string(text.size())));
  std::optional<Digest> d = digest_from_hex(text);
  if (!d) return fail(QmError::corruption("non-hex CAS digest"));
  return *d;
}

Result<void> verify_blob_hash_hex(std::span<const uint8_t> bytes, std::string_view text) {
  QM_TRY(verify_blob_digest_hex(blake3(bytes), text));
  return {};
}

Result<Digest> verify_blob_digest_hex(const Digest& computed, std::string_view text) {
  QM_ASSIGN(Digest d, parse_hex32(text));
  if (computed != d) return fail(integrity_failure(text));
  return d;
}

}  // namespace cas
}  // namespace qm::storage
