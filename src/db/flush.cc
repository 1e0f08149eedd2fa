// Flush and the manifest of the live database: tail pages and dirty pages to the backend,
// then, on a workspace, the manifest, either rewritten in place through a cached handle (the
// fast path of every mutation outside a transaction, no flush to stable storage) or replaced
// atomically (temporary file, flush, rename) at transaction boundaries, after everything it
// names (chunk files, blob files and their directories) has been made durable.
#include <algorithm>
#include <string>

#include "core/fs.h"
#include "db/database.h"
#include "db/format_version.h"

namespace qm::db {

uint16_t Database::written_format_version(bool nonempty_index_region) const {
  uint16_t version = format_version;
  for (const auto& [name, t] : tables)
    version = std::max(version, table_feature_level(!t.unique.empty() || !t.not_null.empty(),
                                                    !t.defaults.empty() || !t.checks.empty(),
                                                    t.cold_pages != 0 || t.compaction_cursor.has_value()));
  if (nonempty_index_region) version = std::max<uint16_t>(version, 2);
  return version;
}

Result<Manifest> Database::build_manifest(bool bake, const IndexPlan& plan,
                                          const std::vector<storage::CasExtent>* cas_dir) const {
  Manifest m;
  m.cas_hashes = cas.hashes_hex();
  if (bake) {
    std::vector<storage::CasExtent> packed;
    if (cas_dir == nullptr) packed = cas.pack().directory;
    const auto& dir = cas_dir ? *cas_dir : packed;
    m.cas_dir.reserve(dir.size());
    for (const auto& e : dir) m.cas_dir.emplace_back(e.offset, e.length);
  }
  m.page_count = cache.backend().page_count();
  m.tables.reserve(tables.size());
  for (const auto& [name, t] : tables) {
    TableMeta meta;
    meta.name = name;
    meta.columns = t.columns;
    meta.unique_columns.assign(t.unique.begin(), t.unique.end());
    meta.not_null_columns.assign(t.not_null.begin(), t.not_null.end());
    meta.defaults = t.defaults;
    meta.checks = t.checks;
    meta.first_page = t.first_page;
    meta.tail_id = t.tail_id;
    meta.row_versions = t.row_versions;
    meta.cold_pages = t.cold_pages;
    meta.compaction_cursor = t.compaction_cursor;
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
  bool marker = false;
  if (plan.kind == IndexPlan::Kind::NoContents) {
    // A logged workspace anchors its manifest to the commit log's head sequence.
    return fail(QmError::corruption("commit-logged workspaces are not supported by this build"));
  }
  if (m.format_version >= 8) m.logged_workspace = marker;
  if (region) m.index_region = Extent{plan.region_offset, plan.region_length};
  m.clock = clock;
  return m;
}

Result<void> Database::flush() {
  if (read_only()) return {};
  // A handle whose state may differ from disk must not write it over the workspace.
  TransactionLock lock;
  if (directory) {
    QM_TRY(refuse_after_write_failure());
    if (!active_transaction && !mutation_lock_.held() && !caller_holds_lock_) {
      // A flush outside any mutation (an export, a caller's own flush) takes the same care:
      // under the lock, and only over the manifest this handle last read or wrote.
      QM_ASSIGN(lock, acquire_transaction_lock(*directory));
      QM_ASSIGN(bool changed, workspace_changed());
      if (changed)
        return fail(QmError::transaction(
            "the workspace was changed by another handle or process; reopen the database to see its changes"));
    }
  }
  // Pages: every tail copy goes to the cache, then every dirty page to the backend.
  for (const auto& [name, t] : tables)
    if (t.tail_id && t.tail_page) QM_TRY(cache.write(*t.tail_id, t.tail_page->span()));
  QM_TRY(cache.flush());
  if (!directory) return {};
  if (atomic_manifest) {
    // The manifest about to be published durably must name only durable files: the chunk
    // files (and a chunks directory created for them) and every blob file with its directories.
    if (auto* dev = cache.backend().dev()) QM_TRY(dev->sync_data());
    QM_TRY(cas.sync_data());
  }
  QM_ASSIGN(Manifest m, build_manifest(false, logged() ? IndexPlan::no_contents() : IndexPlan::pairs()));
  const std::string bytes = write_manifest_json(m);
  if (atomic_manifest) {
    QM_TRY(write_manifest_atomic(*directory, bytes));
    last_write_atomic = true;
    return {};
  }
  last_write_atomic = false;
  return write_manifest_fast(*directory, bytes);
}

Result<void> Database::write_manifest_atomic(const std::string& dir, std::string_view bytes) {
  manifest_file.reset();  // the next fast write opens the file again
  fs::AtomicWriteOptions options;
  options.temp_path = fs::join(dir, kManifestTmpFile);
  options.sync_file = true;
  options.sync_dir = false;
  options.replace = true;
  options.mode = 0666;
  QM_TRY(fs::write_file_atomic(fs::join(dir, kManifestFile), bytes, options));
  manifest_digest = blake3(bytes);
  return {};
}

Result<void> Database::write_manifest_fast(const std::string& dir, std::string_view bytes) {
  if (!manifest_file) {
    QM_ASSIGN(fs::File f, fs::get().open(fs::join(dir, kManifestFile), fs::kRead | fs::kWrite | fs::kCreate, 0666));
    manifest_file.emplace(std::move(f));
  }
  const fs::File& file = *manifest_file;
  QM_ASSIGN(uint64_t old_len, file.size());
  if (bytes.size() < old_len) {
    // Pad the new text with spaces to the old length first: if the process dies before the
    // truncation, the file still holds one complete JSON document.
    std::string padded(bytes);
    padded.resize(old_len, ' ');
    QM_TRY(file.write_all_at(padded, 0));
  } else {
    QM_TRY(file.write_all_at(bytes, 0));
  }
  // From here on the file is not what this handle last saw unless the truncation succeeds.
  manifest_digest.reset();
  QM_TRY(file.truncate(bytes.size()));
  manifest_digest = blake3(bytes);
  return {};
}

}  // namespace qm::db
