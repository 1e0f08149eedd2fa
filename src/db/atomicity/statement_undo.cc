// The undo file of one scope (a statement or a transaction): layout, the page-write hook
// that fills it and the recovery that applies or discards it.
//
// Layout (little-endian): a 64-byte header: "QMSUNDO1", the page count (u64), a flag byte
// (1: a manifest existed), 7 zero bytes, the manifest's BLAKE3 digest (32 bytes, zero
// without a manifest) and a check (u64: the first 8 bytes of BLAKE3 over the 56 bytes
// before it); then entries of 4112 bytes: page id (u64), the page's 4096 old bytes and a
// check (u64 over the 4104 bytes before it). The header goes out with the first entry. An
// entry with page id kBlobEntry holds, in place of the page, a count (u64, at most
// kBlobsPerEntry) and that many blob digests of 32 bytes, then zeros.
#include "db/atomicity/statement_undo.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "core/bytes.h"
#include "table/limits.h"
#include "table/manifest.h"
#include "storage/cas_store.h"
#include "storage/page.h"

namespace qm::db {
namespace {

constexpr char kMagic[8] = {'Q', 'M', 'S', 'U', 'N', 'D', 'O', '1'};
constexpr size_t kHeaderBytes = 64;
constexpr size_t kEntryBytes = 8 + storage::kPageSize + 8;
constexpr size_t kBlobsPerEntry = (storage::kPageSize - 8) / 32;

uint64_t check_of(std::span<const uint8_t> bytes) {
  const Digest d = blake3(bytes);
  return load_u64(d.data());
}

std::string header_bytes(uint64_t page_count, const std::optional<Digest>& manifest) {
  std::string out;
  ByteWriter w(out);
  w.bytes(std::string_view(kMagic, sizeof kMagic));
  w.u64(page_count);
  w.u8(manifest ? 1 : 0);
  for (int i = 0; i < 7; ++i) w.u8(0);
  Digest d{};
  if (manifest) d = *manifest;
  w.bytes(std::span<const uint8_t>(d));
  w.u64(check_of(as_bytes(out)));
  return out;
}

void append_entry(std::string& out, uint64_t page_id, std::span<const uint8_t> page) {
  const size_t start = out.size();
  ByteWriter w(out);
  w.u64(page_id);
  w.bytes(page);
  w.u64(check_of(as_bytes(std::string_view(out).substr(start))));
}

// An entry naming no blob yet.
std::string empty_blob_entry() {
  std::string out;
  append_entry(out, kBlobEntry, std::array<uint8_t, storage::kPageSize>{});
  return out;
}

// Adds `digest` to the blob entry that ends `entries` and holds `count` names, and checks the
// entry anew.
void add_blob_name(std::string& entries, size_t count, const Digest& digest) {
  auto* p = reinterpret_cast<uint8_t*>(entries.data() + entries.size() - kEntryBytes);
  store_u64(p + 8, count + 1);
  std::memcpy(p + 16 + 32 * count, digest.data(), digest.size());
  store_u64(p + kEntryBytes - 8, check_of({p, kEntryBytes - 8}));
}

struct UndoFile {
  uint64_t page_count = 0;
  std::optional<Digest> manifest;
  std::vector<std::pair<uint64_t, std::span<const uint8_t>>> pages;
  std::vector<Digest> blobs;  // blob files the scope created, in creation order
};

// The header and every complete, intact entry; none for a header that is torn or damaged.
std::optional<UndoFile> parse(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
  if (check_of(bytes.first(56)) != load_u64(bytes.data() + 56)) return std::nullopt;
  UndoFile f;
  f.page_count = load_u64(bytes.data() + 8);
  if (bytes[16] == 1) {
    Digest d;
    std::memcpy(d.data(), bytes.data() + 24, d.size());
    f.manifest = d;
  }
  for (size_t at = kHeaderBytes; at + kEntryBytes <= bytes.size(); at += kEntryBytes) {
    const auto entry = bytes.subspan(at, kEntryBytes);
    if (check_of(entry.first(kEntryBytes - 8)) != load_u64(entry.data() + kEntryBytes - 8)) break;
    const uint64_t id = load_u64(entry.data());
    if (id == kBlobEntry) {
      const uint64_t count = std::min<uint64_t>(load_u64(entry.data() + 8), kBlobsPerEntry);
      for (uint64_t i = 0; i < count; ++i) {
        Digest d;
        std::memcpy(d.data(), entry.data() + 16 + 32 * i, d.size());
        f.blobs.push_back(d);
      }
    } else {
      f.pages.emplace_back(id, entry.subspan(8, storage::kPageSize));
    }
  }
  return f;
}

// Puts the old pages back, drops whole chunk files and page bytes past the page count, and
// flushes every chunk file it changed. True when it changed any.
Result<bool> apply_undo(const std::string& workspace, const UndoFile& undo) {
  using storage::WorkspaceStore;
  std::set<uint64_t> touched;
  bool removed_chunk = false;
  for (const auto& [id, bytes] : undo.pages) {
    if (id >= undo.page_count) continue;  // never saved by a sound writer; nothing to restore
    const std::string path = WorkspaceStore::chunk_path(workspace, WorkspaceStore::chunk_of(id));
    QM_ASSIGN(fs::File f, fs::get().open(path, fs::kRead | fs::kWrite));
    QM_TRY(f.write_all_at(bytes, WorkspaceStore::offset_in_chunk(id)));
    touched.insert(WorkspaceStore::chunk_of(id));
  }
  // The chunk holding the end, cut back; the chunks after it, removed.
  const uint64_t end_chunk = WorkspaceStore::chunk_of(undo.page_count);
  const uint64_t end_offset = WorkspaceStore::offset_in_chunk(undo.page_count);
  for (uint64_t chunk = end_chunk;; ++chunk) {
    const std::string path = WorkspaceStore::chunk_path(workspace, chunk);
    QM_ASSIGN(auto st, fs::get().lstat(path));
    if (!st) break;
    if (chunk == end_chunk && end_offset != 0) {
      QM_ASSIGN(fs::File f, fs::get().open(path, fs::kRead | fs::kWrite));
      QM_ASSIGN(uint64_t size, f.size());
      if (size > end_offset) {
        QM_TRY(f.truncate(end_offset));
        touched.insert(chunk);
      }
    } else {
      QM_TRY(fs::get().unlink(path));
      removed_chunk = true;
    }
  }
  if (touched.empty() && !removed_chunk) return false;
  // The restored chunks and the directory (whose removed entries went with it) as one group:
  // only emptying the undo file, after all of them, relies on them.
  fs::SyncGroup durable;
  for (uint64_t chunk : touched) durable.add_path(WorkspaceStore::chunk_path(workspace, chunk));
  durable.add_dir(fs::join(workspace, kChunksDir));
  QM_TRY(durable.run());
  return true;
}

}  // namespace

Result<std::optional<std::string>> read_workspace_manifest(const std::string& workspace) {
  const std::string path = fs::join(workspace, kManifestFile);
  QM_ASSIGN(auto st, fs::get().stat(path));
  if (!st) return std::optional<std::string>();
  QM_ASSIGN(std::string text, fs::read_file(path));
  return std::optional<std::string>(std::move(text));
}

std::vector<Digest> remove_created_blobs(const std::string& workspace, std::span<const Digest> created,
                                         const std::optional<std::string>& manifest) {
  std::set<Digest> named;
  if (manifest) {
    auto m = read_manifest_json(*manifest);
    if (!m) return {created.begin(), created.end()};
    for (const std::string& hex : m->cas_hashes) {
      auto d = storage::cas::parse_hex32(hex);
      if (!d) return {created.begin(), created.end()};
      named.insert(*d);
    }
  }
  return remove_unnamed_blobs(workspace, created, [&](const Digest& d) { return named.contains(d); });
}

std::vector<Digest> remove_unnamed_blobs(const std::string& workspace, std::span<const Digest> created,
                                         const std::function<bool(const Digest&)>& named) {
  auto empty_dir_left = [](const std::string& dir) {
    auto st = fs::get().lstat(dir);
    if (!st) return true;
    if (!*st || (*st)->kind != fs::EntryKind::Directory) return false;
    auto entries = fs::get().list_dir(dir);
    return !entries || (entries->empty() && !fs::get().rmdir(dir));
  };
  std::vector<Digest> left;
  std::map<std::string, std::vector<Digest>> fans;  // fan-out directory -> its removed blobs
  for (const Digest& d : std::set<Digest>(created.begin(), created.end())) {
    if (named(d)) continue;
    const std::string path = storage::cas::blob_path(workspace, storage::cas::hex(d));
    bool removed = true;
    // The blob file, and the temporary file of a write that was cut short.
    for (const std::string& file : {path, storage::cas::temp_path(path)}) {
      auto st = fs::get().lstat(file);
      if (st && *st && (*st)->kind != fs::EntryKind::Regular) continue;  // not a file the scope wrote
      if (!st || (*st && !fs::get().unlink(file))) removed = false;
    }
    if (!removed) {
      left.push_back(d);
      continue;
    }
    fans[fs::parent_dir(path)].push_back(d);
  }
  for (const auto& [dir, digests] : fans)
    if (empty_dir_left(dir)) left.insert(left.end(), digests.begin(), digests.end());
  if (!fans.empty() && empty_dir_left(fs::join(workspace, kBlobsDir))) left.push_back(fans.begin()->second.front());
  return left;
}

Result<void> PageUndoFile::before_write(storage::WorkspaceStore& store, uint64_t page_id) {
  return save(store, std::span<const uint64_t>(&page_id, 1));
}

Result<void> PageUndoFile::before_writes(storage::WorkspaceStore& store, std::span<const uint64_t> page_ids) {
  return save(store, page_ids);
}

Result<void> PageUndoFile::save(storage::WorkspaceStore& store, std::span<const uint64_t> page_ids) {
  std::string out;
  std::vector<uint64_t> added;
  storage::Page old;
  for (uint64_t page_id : page_ids) {
    if (page_id >= page_count_ || saved_.contains(page_id)) continue;
    QM_TRY(store.read_page_into(page_id, old));
    if (file_end_ == 0 && out.empty()) out = header_bytes(page_count_, manifest_digest_);
    append_entry(out, page_id, old);
    added.push_back(page_id);
  }
  if (added.empty()) return {};
  QM_TRY(append(out));
  if (forced_) {
    // The file and, the first time, its entry, as one group: the pages wait for both, and an
    // entry naming an incomplete file only holds entries whose pages are still untouched.
    fs::SyncGroup durable;
    durable.add(file_.file);
    if (!file_.entry_durable) durable.add_dir(workspace_);
    QM_TRY(durable.run());
    file_.entry_durable = true;
  }
  saved_.insert(added.begin(), added.end());
  return {};
}

Result<void> PageUndoFile::name_new_blob(const Digest& digest) {
  // While the scope's last entry names blobs and has room, it is written again with one more
  // (a torn rewrite loses only names of files, and nothing follows it); else a new one starts.
  if (blob_entry_at_ + kEntryBytes == file_end_ && file_end_ != 0 && blob_count_ < kBlobsPerEntry) {
    add_blob_name(blob_entry_, blob_count_, digest);
    QM_TRY(file_.file.write_all_at(blob_entry_, blob_entry_at_));  // a failure: the count stays
    ++blob_count_;
    return {};
  }
  blob_entry_ = empty_blob_entry();
  add_blob_name(blob_entry_, 0, digest);
  const uint64_t at = file_end_ == 0 ? kHeaderBytes : file_end_;
  QM_TRY(append(file_end_ == 0 ? header_bytes(page_count_, manifest_digest_) + blob_entry_ : blob_entry_));
  blob_entry_at_ = at;
  blob_count_ = 1;
  return {};
}

Result<void> PageUndoFile::append(std::string_view out) {
  if (!file_.file.is_open()) {
    // Under the lock, after a leftover was applied or discarded: whatever the file still
    // holds is stale, and entries of this scope must not be followed by older ones.
    QM_ASSIGN(file_.file, fs::get().open(fs::join(workspace_, kStatementUndoFile),
                                         fs::kRead | fs::kWrite | fs::kCreate | fs::kTruncate, 0666));
    file_.entry_durable = false;
  }
  // The entries are whole in the file before their pages are overwritten; a failed or short
  // write leaves the pages untouched, and a torn entry is ignored when the file is read back.
  QM_TRY(file_.file.write_all_at(out, file_end_));
  file_end_ += out.size();
  return {};
}

void PageUndoFile::published(uint64_t page_count, std::optional<Digest> manifest_digest) {
  page_count_ = page_count;
  manifest_digest_ = manifest_digest;
  saved_.clear();
  blob_count_ = 0;
  if (file_end_ == 0) return;
  file_end_ = 0;
  // Emptied in place: the handle keeps the file, and an empty one means nothing to undo.
  if (!file_.file.truncate(0)) file_.file.close();
}

Result<bool> statement_undo_left(const std::string& workspace) {
  QM_ASSIGN(auto st, fs::get().lstat(fs::join(workspace, kStatementUndoFile)));
  return st.has_value() && (st->kind != fs::EntryKind::Regular || st->size != 0);
}

namespace {

// The entries naming the blob files `kept` (with a header for the scope), for the next
// locked step to remove; empty when none is kept.
std::string leftover_entries(const UndoFile& undo, const std::vector<Digest>& kept) {
  std::string left;
  if (!kept.empty()) left = header_bytes(undo.page_count, undo.manifest);
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i % kBlobsPerEntry == 0) left += empty_blob_entry();
    add_blob_name(left, i % kBlobsPerEntry, kept[i]);
  }
  return left;
}

// Empties the undo file at `path` (of kind `kind`), leaving `left` in it.
Result<void> empty_undo_file(const std::string& path, fs::EntryKind kind, const std::string& left) {
  // Emptied, not removed: handles keep it open for their next scope.
  if (kind == fs::EntryKind::Regular) {
    QM_ASSIGN(fs::File f, fs::get().open(path, fs::kRead | fs::kWrite | fs::kNoFollow));
    QM_TRY(f.truncate(0));
    // Blob files that could not be removed stay named for the next locked step; failing to
    // say so only leaves them for good.
    if (!left.empty()) (void)f.write_all_at(left, 0);
    return {};
  }
  return fs::get().unlink(path);
}

}  // namespace

Result<bool> recover_statement_undo(const std::string& workspace) {
  const std::string tmp_manifest = fs::join(workspace, kManifestTmpFile);
  QM_ASSIGN(auto tmp, fs::get().lstat(tmp_manifest));
  if (tmp) QM_TRY(fs::get().unlink(tmp_manifest));
  const std::string path = fs::join(workspace, kStatementUndoFile);
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (!st || (st->kind == fs::EntryKind::Regular && st->size == 0)) return false;
  QM_ASSIGN(std::string text, fs::read_file(path));
  bool applied = false;
  std::string left;  // the entries of blob files still to remove, with their header
  if (auto undo = parse(as_bytes(text))) {
    QM_ASSIGN(const std::optional<std::string> manifest, read_workspace_manifest(workspace));
    const std::optional<Digest> current = manifest ? std::optional<Digest>(blake3(*manifest)) : std::nullopt;
    if (current == undo->manifest) {
      QM_ASSIGN(applied, apply_undo(workspace, *undo));
      // The state is back; what follows only frees space.
      left = leftover_entries(*undo, remove_created_blobs(workspace, undo->blobs, manifest));
    }
  }
  QM_TRY(empty_undo_file(path, st->kind, left));
  return applied;
}

Result<void> undo_own_transaction(const std::string& workspace, const std::optional<Digest>& started_from,
                                  const std::function<bool(const Digest&)>& named) {
  const std::string path = fs::join(workspace, kStatementUndoFile);
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (!st || (st->kind == fs::EntryKind::Regular && st->size == 0)) return {};
  QM_ASSIGN(std::string text, fs::read_file(path));
  std::string left;
  // A torn header belongs to a first entry whose page was never written: nothing to undo.
  if (auto undo = parse(as_bytes(text))) {
    if (undo->manifest != started_from)
      return fail(QmError::corruption("rollback: the undo file names another manifest than the transaction's"));
    QM_TRY(apply_undo(workspace, *undo));
    // The pages are back; what follows only frees space.
    left = leftover_entries(*undo, remove_unnamed_blobs(workspace, undo->blobs, named));
  }
  return empty_undo_file(path, st->kind, left);
}

}  // namespace qm::db
