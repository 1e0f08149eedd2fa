// Following another handle's commit from the state this handle holds, at the cost of what that
// commit changed rather than of the whole workspace: the refresh at the start of a statement or
// a transaction reads the new manifest and, where every change in it is one this handle can
// follow, brings its parts up to it in place; anything else is left to the full reload.
//
// What is followed, and why it suffices: a row version is only ever appended at a table's
// tail, an older version changes in place only in its deletion mark, and a secondary index
// never loses an entry. So for a table whose schema, index set, first page, columnar-page
// count and compaction cursor are unchanged and whose version count did not go down, the
// versions past the count this handle knew are read from the tail it knew (which may have
// grown in place) to the new tail, and their index entries added through the one indexing
// function the open's rebuild uses; the table takes the new tail, tail page and count. Since
// a deletion mark changes no manifest entry, every page this handle cached is dropped (the
// chunk files are read again as needed), every table's tail page is read again, every kept
// live-row count is forgotten and every retrieval index whose descriptor changed (or whose
// table grew) is loaded again; the blob store reads only the files of blobs it does not hold.
//
// Invariants:
// - a table created or dropped, a changed schema or index set, a moved first page, cursor or
//   columnar-page count, a count that went down, a page count that went down, a manifest that
//   cannot be read or checked, a dead handle's transaction that was recovered (the manifest
//   digest is then forgotten) and a handle that may differ from the disk (a failed write, an
//   open transaction, unwritten pages) are not followed: the full reload decides, so what a
//   hostile manifest gets is exactly what an open gives it;
// - nothing is changed before the decision is made, and the digest of the manifest this
//   handle knows is forgotten before the first change: a follow that fails part-way leaves a
//   handle that reloads in full before it answers anything or writes anywhere.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/fs.h"
#include "db/database.h"
#include "db/format_version.h"
#include "db/retrieval_catalog.h"
#include "table/catalog_rebuild.h"
#include "table/chain_scan.h"
#include "table/manifest_stream.h"
#include "storage/row_page.h"
#include "storage/workspace_store.h"

namespace qm::db {
namespace {

template <class List>
std::set<std::string> set_of(const List& names) {
  return std::set<std::string>(names.begin(), names.end());
}

bool same_schema(const TableMeta& meta, const Table& t) {
  return meta.columns == t.columns && set_of(meta.unique_columns) == t.unique &&
         set_of(meta.not_null_columns) == t.not_null && meta.defaults == t.defaults && meta.checks == t.checks;
}

// The indexes an open of the entry builds on a writable database: the indexed columns, the
// UNIQUE ones and any stored with it.
bool same_index_set(const TableMeta& meta, const std::vector<StoredIndex>& stored_indexes, const Table& t) {
  if (!meta.binary_indexes.empty()) return false;
  std::set<std::string> wanted = set_of(meta.indexed_columns);
  wanted.insert(meta.unique_columns.begin(), meta.unique_columns.end());
  for (const auto& stored : stored_indexes) wanted.insert(stored.column);
  if (wanted.size() != t.indexes.size()) return false;
  for (const auto& [column, index] : t.indexes)
    if (!wanted.contains(column)) return false;
  return true;
}

// The chain bounds an open accepts for the entry (build_table's checks).
bool bounds_accepted(const TableMeta& meta, uint64_t page_count) {
  if (meta.first_page.has_value() != meta.tail_id.has_value()) return false;
  if (!meta.first_page) return meta.row_versions == 0;
  return meta.row_versions > 0 && *meta.first_page < page_count && *meta.tail_id < page_count &&
         *meta.tail_id >= *meta.first_page;
}

// One table's part in the follow.
struct TableStep {
  Table* table = nullptr;
  const TableMeta* meta = nullptr;
  bool grows = false;                     // versions were appended
  std::optional<storage::RowPage> tail;   // the tail page as the chunk files hold it now
};

// The tail page an open would hold for the table (build_table's read).
Result<storage::RowPage> read_tail(storage::PageCache& cache, uint64_t tail) {
  QM_ASSIGN(storage::PageBox bytes, cache.backend().read_page(tail));
  QM_TRY(storage::verify_page_checksum(tail, storage::ConstPageSpan(*bytes)));
  QM_ASSIGN(storage::RowPage page, storage::RowPage::from_bytes(*bytes));
  if (page.next_page()) return fail(QmError::corruption("table tail page links to another page"));
  return page;
}

// Decides, without changing anything, how each table follows the manifest: none when one of
// them cannot.
std::optional<std::vector<TableStep>> plan_tables(TableMap& tables, const ManifestWithIndexes& read) {
  const Manifest& m = read.manifest;
  if (m.tables.size() != tables.size()) return std::nullopt;
  std::vector<TableStep> steps;
  steps.reserve(m.tables.size());
  std::set<std::string_view> seen;
  std::map<uint64_t, std::string_view> claimed;  // first and tail pages, as the open checks them
  for (size_t i = 0; i < m.tables.size(); ++i) {
    const TableMeta& meta = m.tables[i];
    auto it = tables.find(meta.name);
    if (it == tables.end() || !seen.insert(meta.name).second) return std::nullopt;
    Table& t = it->second;
    if (!same_schema(meta, t) || !same_index_set(meta, read.indexes[i], t) || meta.cold_pages != t.cold_pages ||
        meta.compaction_cursor != t.compaction_cursor || !bounds_accepted(meta, m.page_count))
      return std::nullopt;
    if (t.first_page && meta.first_page != t.first_page) return std::nullopt;
    if (meta.row_versions < t.row_versions) return std::nullopt;
    const bool grows = meta.row_versions != t.row_versions;
    if (!grows && meta.tail_id != t.tail_id) return std::nullopt;
    if (grows && t.first_page && !t.tail_page) return std::nullopt;
    if (meta.first_page) {
      for (uint64_t id : {*meta.first_page, *meta.tail_id}) {
        auto [at, fresh] = claimed.emplace(id, meta.name);
        if (!fresh && at->second != meta.name) return std::nullopt;
      }
    }
    steps.push_back(TableStep{&t, &meta, grows, std::nullopt});
  }
  return steps;
}

}  // namespace

Result<bool> Database::catch_up() {
  // Only a handle whose parts are exactly what the manifest it last knew describes follows.
  if (!directory_ || transaction_ || !manifest_digest_ || reads_refused_ || write_failure_ || statement_changed_)
    return false;
  const auto* old_dev = store_.cache.backend().workspace();
  if (!old_dev || old_dev->journal() || store_.cache.has_dirty()) return false;
  const std::string& dir = *directory_;

  // The new manifest, read as the open reads it (in one pass: a clean close's index entries
  // build no document), with the file it came from.
  QM_ASSIGN(std::optional<ManifestFile> file, read_manifest_file(dir));
  if (!file) return false;
  auto parsed = read_manifest_with_indexes(file->text);
  if (!parsed) return false;
  const Manifest& m = parsed->manifest;
  if (!check_manifest_version(m) || !retrieval_descriptors_of(m)) return false;
  if (m.page_count > storage::kMaxPageCount || m.page_count < old_dev->page_count()) return false;
  if (!preflight_retrieval_blobs(dir, m)) return false;
  QM_ASSIGN(auto log_entry, fs::get().stat(fs::join(dir, kCommitLogDir)));
  const bool logged = log_entry.has_value() || m.commit_sequence.has_value();

  std::optional<std::vector<TableStep>> steps = plan_tables(catalog_.tables(), *parsed);
  if (!steps) return false;
  // The chunk files as they are now, through a cache holding nothing yet.
  QM_ASSIGN(storage::WorkspaceStore store, storage::WorkspaceStore::open(dir, m.page_count));
  storage::PageCache cache(storage::Backend(std::move(store)), kPageCacheCapacity);
  for (TableStep& step : *steps) {
    if (step.meta->tail_id) {
      QM_ASSIGN(step.tail, read_tail(cache, *step.meta->tail_id));
    }
  }

  // From here on the parts change: until the follow is done, the handle knows no manifest.
  manifest_digest_.reset();
  QM_TRY(store_.cas.follow_listing(m.cas_hashes));
  store_.cache = std::move(cache);
  ChangedTables changed;
  std::vector<uint64_t> pages_met;
  for (TableStep& step : *steps) {
    Table& t = *step.table;
    const TableMeta& meta = *step.meta;
    // Where the versions this handle does not know begin: after the records of the tail it
    // knew, or at the first page of a chain it knew empty.
    const bool had_chain = t.first_page.has_value();
    const AppendedFrom from{had_chain ? *t.tail_id : meta.first_page.value_or(0),
                            had_chain ? t.tail_page->slot_count() : uint16_t{0}, t.row_versions};
    t.first_page = meta.first_page;
    t.tail_id = meta.tail_id;
    t.row_versions = meta.row_versions;
    t.tail_page = std::move(step.tail);
    if (!step.grows) continue;
    changed.insert(meta.name);
    pages_met.clear();
    QM_TRY(scan_appended(store_.cache, t, store_.cas, from,
                         [&](const RecordVersion& version) -> Result<void> {
                           index_row_version(t.indexes, t.columns, version.row_id, version.values);
                           return {};
                         },
                         pages_met));
    if (t.page_ids) {
      for (uint64_t id : pages_met)
        if (!t.page_ids->insert(id) && !(had_chain && id == from.page))
          return fail(QmError::corruption("cyclic table page chain"));
    }
  }
  QM_ASSIGN(persistent::Catalog retrieval,
            follow_retrieval_catalog(store_.cache, store_.cas, catalog_.tables(), m, catalog_.retrieval(), changed));
  catalog_.retrieval() = std::move(retrieval);

  // What adopt() sets after a full reload, from the same manifest.
  clock_ = m.clock;
  format_version_ = logged ? std::max(m.format_version, kLoggedFormatVersion) : m.format_version;
  manifest_identity_ = file->identity;
  identity_settled_ = false;
  if (logged && !commit_log_) commit_log_ = CommitLogOptions{};
  manifest_file_.reset();
  manifest_pin_ = fs::File();
  retired_manifest_ = fs::File();
  last_write_atomic_ = false;
  pairs_pending_ = false;
  same_manifest_file_ = false;
  files_unsynced_ = true;
  // A deletion mark changes no manifest entry, so any table's live count may be stale.
  QM_TRY(observers_.catalog_replaced(catalog_));
  manifest_digest_ = blake3(file->text);
  ++commits_followed_;
  return true;
}

Result<void> Database::follow_or_reload() {
  std::optional<std::string> failure = write_failure_;
  auto followed = catch_up();
  if (!followed || !*followed) {
    QM_ASSIGN(Parts parts, load_dev(*directory_));
    QM_TRY(adopt(std::move(parts)));
  }
  write_failure_ = std::move(failure);
  return {};
}

}  // namespace qm::db
