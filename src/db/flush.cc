// Flush and the manifest of the live database: tail pages and dirty pages to the backend,
// then, on a workspace, the manifest, either rewritten in place through a cached handle (the
// fast path of every mutation outside a transaction, no flush to stable storage) or replaced
// atomically at transaction boundaries: the temporary file and everything it names (chunk
// files, blob files and their directories) flushed as one group, then the rename.
#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "core/fs.h"
#include "db/database.h"
#include "db/file_closer.h"
#include "table/catalog_rebuild.h"
#include "db/format_version.h"
#include "journal/page_journal.h"
#include "db/retrieval_catalog.h"
#include "storage/workspace_store.h"

namespace qm::db {

uint16_t Database::written_format_version(bool nonempty_index_region) const {
  uint16_t version = format_version_;
  for (const auto& [name, t] : catalog_.tables())
    version = std::max(version, table_feature_level(!t.unique.empty() || !t.not_null.empty(),
                                                    !t.defaults.empty() || !t.checks.empty(),
                                                    t.cold_pages != 0 || t.compaction_cursor.has_value()));
  if (nonempty_index_region) version = std::max<uint16_t>(version, 2);
  return version;
}

Result<Manifest> Database::build_manifest(bool bake, const IndexPlan& plan,
                                          const std::vector<storage::CasExtent>* cas_dir) const {
  Manifest m;
  // The store keeps the list's text as it changes: no name is encoded again per manifest.
  m.cas_hashes_json = store_.cas.hashes_json();
  if (bake) {
    std::vector<storage::CasExtent> packed;
    if (cas_dir == nullptr) packed = store_.cas.pack().directory;
    const auto& dir = cas_dir ? *cas_dir : packed;
    m.cas_dir.reserve(dir.size());
    for (const auto& e : dir) m.cas_dir.emplace_back(e.offset, e.length);
  }
  m.page_count = store_.cache.backend().page_count();
  m.tables.reserve(catalog_.tables().size());
  for (const auto& [name, t] : catalog_.tables()) {
    TableMeta meta = table_meta_of(name, t);
    for (const auto& [column, index] : t.indexes) {
      meta.indexed_columns.push_back(column);
      if (plan.kind == IndexPlan::Kind::Pairs) meta.indexes.push_back(PersistedIndex{column, index.to_pairs()});
    }
    if (plan.kind == IndexPlan::Kind::Binary) {
      for (const auto& [table_name, descs] : plan.binary)
        if (table_name == name) meta.binary_indexes = descs;
    }
    m.tables.push_back(std::move(meta));
  }
  const bool region = plan.kind == IndexPlan::Kind::Binary && plan.region_length != 0;
  m.format_version = written_format_version(region);
  QM_ASSIGN(m.retrieval_indexes, retrieval_manifest_nodes(catalog_.retrieval()));
  if (!m.retrieval_indexes.empty()) m.format_version = std::max<uint16_t>(m.format_version, 8);
  bool marker = false;
  if (plan.kind == IndexPlan::Kind::NoContents && logged()) {
    // A logged workspace anchors its manifest to the commit its pending journal takes, or
    // to the log's head; committing the journal checks this anchor.
    const auto* dev = store_.cache.backend().workspace();
    if (dev == nullptr || !directory_)
      return fail(QmError::corruption("a commit-logged manifest needs a workspace directory"));
    QM_ASSIGN(m.commit_sequence, journal::manifest_sequence(*dev));
    marker = true;
  }
  if (m.format_version >= 8) m.logged_workspace = marker;
  if (region) m.index_region = Extent{plan.region_offset, plan.region_length};
  m.clock = clock_;
  return m;
}

Result<void> Database::flush() {
  if (read_only()) return {};
  // A handle whose state may differ from disk must not write it over the workspace.
  TransactionLock lock;
  if (directory_) {
    QM_TRY(refuse_after_write_failure());
    if (!transaction_ && !mutation_lock_.held() && !caller_holds_lock_) {
      // A flush outside any mutation (an export, a caller's own flush) takes the same care:
      // under the lock, and only over the manifest this handle last read or wrote.
      QM_ASSIGN(lock, acquire_transaction_lock(*directory_));
      QM_TRY(recover_dead_transaction());
      QM_ASSIGN(bool changed, workspace_changed());
      if (changed)
        return fail(QmError::transaction(
            "the workspace was changed by another handle or process; reopen the database to see its changes"));
      QM_TRY(forget_replaced_files());
    }
  }
  // Changed retrieval indexes go to the blob store before anything names them; a memory
  // database names them only in a baked image, which encodes what is deferred here.
  QM_TRY(publish_retrieval(catalog_.retrieval(), store_.cas, /*defer=*/!directory_));
  // Pages: every tail copy goes to the cache, then every dirty page to the backend.
  for (const auto& [name, t] : catalog_.tables())
    if (t.tail_id && t.tail_page) QM_TRY(store_.cache.write(*t.tail_id, t.tail_page->span()));
  QM_TRY(store_.cache.flush());
  if (!directory_ || manifest_held_) return {};
  // Under a logged transaction's journal, the commit flushes the chunk files and the manifest
  // together with its record before its commit point; the journal itself is made durable
  // before the manifest is replaced.
  auto* dev = store_.cache.backend().workspace();
  const bool journaled = dev != nullptr && journal::installed_journal(*dev) != nullptr;
  if (journaled) QM_TRY(journal::publish_journal(*dev));
  // The manifest about to be published durably must name only durable files: the chunk
  // files (and a chunks directory created for them) and every blob file with its directories.
  fs::SyncGroup durable;
  if (atomic_manifest_) {
    if (dev && !journaled) QM_TRY(dev->add_sync(durable));
    store_.cas.add_sync(durable);
    if (files_unsynced_) QM_TRY(add_workspace_files(durable));
  }
  auto settle = [&] {
    if (dev && !journaled) dev->synced();
    store_.cas.synced();
    files_unsynced_ = false;
    created_dirs_.clear();
  };
  // Writing every index's pairs after each statement or commit would make each cost the
  // size of the indexes (N small writes cost N²); their manifest names the indexed columns
  // only (the next open after a crash rescans those tables), and a clean close writes the
  // pairs, so a workspace closed normally opens without a rescan.
  const bool pairs = !logged() && close_flush_;
  // The close's pairs are written straight from the live indexes, never copied into the
  // manifest's model first (an unlogged manifest is otherwise the same with either plan).
  QM_ASSIGN(Manifest m, build_manifest(false, IndexPlan::no_contents()));
  LiveIndexes live;
  if (pairs) {
    live.reserve(catalog_.tables().size());
    for (const auto& [name, t] : catalog_.tables()) {
      auto& columns = live.emplace_back();
      for (const auto& [column, index] : t.indexes) columns.emplace_back(column, &index);
    }
  }
  const std::string bytes = pairs ? write_manifest_json(m, live) : write_manifest_json(m);
  // A large manifest replaced by a statement's small one is freed later (retired_manifest_).
  if (pairs) {
    retired_manifest_ = fs::File();
  } else if (pin_holds_pairs_) {
    retired_manifest_ = std::move(manifest_pin_);
  }
  pin_holds_pairs_ = pairs;
  if (atomic_manifest_ && journaled) {
    // The journal's commit flushes the manifest; what it names is flushed first, as before.
    QM_TRY(durable.run());
    settle();
    QM_TRY(replace_manifest(*directory_, bytes, nullptr));
    last_write_atomic_ = true;
  } else if (atomic_manifest_) {
    QM_TRY(write_manifest_atomic(*directory_, bytes, durable));
    settle();
    last_write_atomic_ = true;
  } else {
    last_write_atomic_ = false;
    QM_TRY(write_manifest_fast(*directory_, bytes));
  }
  pairs_pending_ = !logged() && !pairs && has_secondary_index();
  return {};
}

bool Database::has_secondary_index() const {
  for (const auto& [name, t] : catalog_.tables())
    if (!t.indexes.empty()) return true;
  return false;
}

Result<void> Database::close() {
  if (!pairs_pending_ || transaction_ || write_failure_ || !directory_) return {};
  close_flush_ = true;
  auto flushed = flush();
  close_flush_ = false;
  return flushed;
}

Result<void> Database::write_manifest_atomic(const std::string& dir, std::string_view bytes,
                                            fs::SyncGroup& durable) {
  return replace_manifest(dir, bytes, &durable);
}

Result<void> Database::forget_replaced_files() {
  QM_ASSIGN(auto st, fs::get().stat(fs::join(*directory_, kManifestFile)));
  if (st && st->device == manifest_identity_.device && st->inode == manifest_identity_.inode) return {};
  manifest_file_.reset();
  manifest_pin_ = fs::File();
  if (auto* dev = store_.cache.backend().workspace()) dev->close_files();
  return {};
}

Result<void> Database::add_workspace_files(fs::SyncGroup& group) {
  const std::string& dir = *directory_;
  std::set<std::string> dirs;
  // Only what exists is flushed: a missing file has nothing to make durable.
  auto sync_file = [&](const std::string& path) -> Result<bool> {
    QM_ASSIGN(auto st, fs::get().lstat(path));
    if (!st || st->kind != fs::EntryKind::Regular) return false;
    group.add_path(path);
    return true;
  };
  const uint64_t pages = store_.cache.backend().page_count();
  const uint64_t chunks = pages / storage::kPagesPerChunk + (pages % storage::kPagesPerChunk != 0);
  // The chunk files that exist, not every number the page count allows: a hostile count
  // must not turn this into billions of look-ups.
  const std::string chunk_dir = fs::join(dir, kChunksDir);
  QM_ASSIGN(auto chunk_dir_stat, fs::get().lstat(chunk_dir));
  if (chunk_dir_stat && chunk_dir_stat->kind == fs::EntryKind::Directory) {
    QM_ASSIGN(auto names, fs::get().list_dir(chunk_dir));
    for (const std::string& name : names) {
      const auto chunk = storage::WorkspaceStore::chunk_of_name(name);
      if (!chunk || *chunk >= chunks) continue;
      QM_ASSIGN(bool synced, sync_file(fs::join(chunk_dir, name)));
      if (synced) dirs.insert(chunk_dir);
    }
  }
  for (uint64_t i = 0; i < store_.cas.count(); ++i) {
    const std::string path = storage::cas::blob_path(dir, storage::cas::hex(store_.cas.digest(i)));
    QM_ASSIGN(bool synced, sync_file(path));
    if (synced) {
      dirs.insert(fs::parent_dir(path));
      dirs.insert(fs::join(dir, kBlobsDir));
    }
  }
  dirs.insert(dir);
  dirs.insert(fs::parent_dir(dir));
  for (const std::string& created : created_dirs_) dirs.insert(fs::parent_dir(created));
  // The directories with the files they name: the manifest's rename, which relies on all of
  // them, comes after the whole group.
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) group.add_dir(*it);
  return {};
}

Result<void> Database::write_manifest_fast(const std::string& dir, std::string_view bytes) {
  // Replaced whole, never rewritten in place, so neither a killed process nor a refused
  // write can leave it torn or empty; nothing is forced to stable storage on this path.
  return replace_manifest(dir, bytes, nullptr);
}

Result<void> Database::replace_manifest(const std::string& dir, std::string_view bytes, fs::SyncGroup* durable) {
  manifest_file_.reset();  // the next fast write opens the file again
  const std::string tmp = fs::join(dir, kManifestTmpFile);
  const std::string path = fs::join(dir, kManifestFile);
  // Written through one handle that, once renamed into place, becomes the pin: its identity
  // is read from the open file, with no second open of the manifest.
  QM_ASSIGN(fs::File f, fs::get().open(tmp, fs::kRead | fs::kWrite | fs::kCreate | fs::kTruncate, 0666));
  auto abandon = [&](QmError e) -> Result<void> {
    f.close();
    (void)fs::get().unlink(tmp);
    return fail(std::move(e));
  };
  if (auto r = f.write_all_at(bytes, 0); !r) return abandon(std::move(r).error());
  if (durable) {
    // The new manifest and everything it names, as one group: none of them is relied on
    // before the rename, which waits for all of them.
    durable->add(f);
    if (auto r = durable->run(); !r) return abandon(std::move(r).error());
  }
  if (auto r = fs::get().rename(tmp, path); !r) return abandon(std::move(r).error());
  manifest_digest_ = blake3(bytes);
  identity_settled_ = false;
  // The file is in place; an identity that cannot be read only makes the next write outside
  // a transaction open its files again.
  if (auto st = f.stat()) {
    manifest_identity_ = *st;
    // Nothing names the replaced manifest any more: closing it frees it, which the file
    // system may take its time over, so that happens beside the statement.
    if (!closer_) closer_ = std::make_unique<FileCloser>();
    closer_->release(std::exchange(manifest_pin_, std::move(f)));
  } else {
    note_manifest_identity(path);
  }
  return {};
}

}  // namespace qm::db
