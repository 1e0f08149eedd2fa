#include "db/stats.h"

#include "table/chain_scan.h"

#include <initializer_list>
#include <limits>
#include <map>
#include <string_view>
#include <utility>

#include "core/bytes.h"
#include "core/saturating.h"
#include "table/catalog_rebuild.h"
#include "db/database.h"
#include "storage/cold_page.h"
#include "storage/row_page.h"

namespace qm::db {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();


// Each key with its count, in the order given.
void write_counts(JsonWriter& w, std::initializer_list<std::pair<std::string_view, uint64_t>> counts) {
  for (const auto& [key, n] : counts) w.key(key).uint64(n);
}

void write_strings(JsonWriter& w, const std::vector<std::string>& items) {
  w.begin_array();
  for (const auto& s : items) w.string(s);
  w.end_array();
}

// Walks a table's chain measuring every page; the tail from the table's copy.
Result<void> measure_chain(storage::PageCache& cache, const Table& table, TableStats& out, uint64_t& columnar) {
  const uint64_t total = cache.backend().held_page_count();
  const uint64_t limit = saturating_inc(total);
  uint64_t steps = 0;
  bool tail_reached = false;
  bool cursor_seen = false;
  std::optional<uint64_t> current = table.first_page;
  while (current) {
    if (++steps > limit) return fail(QmError::corruption("page chain longer than total page count (cycle?)"));
    const uint64_t id = *current;
    PageUsage usage;
    if (table.tail_id == id && table.tail_page) {
      QM_ASSIGN(usage, page_usage(table.tail_page->span()));
    } else {
      QM_ASSIGN(usage, cache.with_page(id, [](storage::ConstPageSpan bytes) { return page_usage(bytes); }));
    }
    out.pages = saturating_add(out.pages, 1);
    out.used_page_bytes = saturating_add(out.used_page_bytes, usage.used);
    out.free_page_bytes = saturating_add(out.free_page_bytes, usage.free);
    if (usage.columnar) {
      columnar = saturating_add(columnar, 1);
      out.compression.saved_bytes = saturating_add(out.compression.saved_bytes, usage.saved);
    }
    if (table.compaction_cursor == id) cursor_seen = true;
    if (table.tail_id == id) {
      tail_reached = true;
      if (usage.next) return fail(QmError::corruption("table tail page links to another page"));
    }
    current = usage.next;
  }
  if (columnar != table.cold_pages)
    return fail(QmError::corruption("manifest declares " + std::to_string(table.cold_pages) +
                                    " cold page(s), page chain contains " + std::to_string(columnar)));
  if (table.compaction_cursor && !cursor_seen)
    return fail(QmError::corruption("table compaction cursor is outside its page chain"));
  if (table.tail_id && !tail_reached)
    return fail(QmError::corruption("table page chain does not reach its declared tail"));
  return {};
}

}  // namespace

Result<PageUsage> page_usage(std::span<const uint8_t> bytes) {
  if (bytes.size() < 9) return fail(QmError::buffer_too_small(storage::kRowHeaderSize, bytes.size()));
  const uint8_t type = bytes[storage::kPageTypeOffset];
  PageUsage u;
  if (type == storage::kRowPageType) {
    if (bytes.size() < storage::kRowHeaderSize)
      return fail(QmError::buffer_too_small(storage::kRowHeaderSize, bytes.size()));
    const uint16_t slots = load_u16(bytes.data() + storage::kSlotCountOffset);
    const uint16_t fsp = load_u16(bytes.data() + storage::kFreeSpaceOffset);
    const uint64_t dir_end = storage::kRowHeaderSize + 4ull * slots;
    if (fsp > storage::kPageSize || dir_end > fsp)
      return fail(QmError::corruption("row page header out of range: slot_count=" + std::to_string(slots) +
                                      ", free_space_ptr=" + std::to_string(fsp)));
    const uint64_t next = load_u64(bytes.data() + storage::kRowNextOffset);
    if (next != storage::kNoPage) u.next = next;
    u.free = fsp - dir_end;
    u.used = storage::kPageSize - u.free;
    return u;
  }
  if (type == storage::kColumnarPageType) {
    QM_ASSIGN(auto header, storage::ColdPage::validate(bytes));
    QM_ASSIGN(uint64_t len, storage::ColdPage::encoded_len(bytes));
    u.next = header.next_page;
    u.used = len;
    u.free = len > storage::kPageSize ? 0 : storage::kPageSize - len;
    u.columnar = true;
    u.saved = header.source_page_size > len ? header.source_page_size - len : 0;
    return u;
  }
  return fail(QmError::invalid_page_type(type));
}

Result<DatabaseStats> inspect_stats(Database& db) {
  QM_ASSIGN(Database::WorkspaceAccess access, db.enter_workspace(/*write=*/false));
  DatabaseStats s;
  s.current_transaction = db.clock_;
  s.storage_mode = storage_mode_name(db.storage_mode());
  s.writable = !db.read_only();
  s.allocated_pages = db.store_.cache.backend().page_count();
  s.allocated_page_bytes = saturating_mul(s.allocated_pages, storage::kPageSize);
  s.buffer_pool = {db.store_.cache.capacity(), db.store_.cache.resident()};
  s.cas.blobs = db.store_.cas.count();
  // A memory database's retrieval index published without encoding owns a slot that holds
  // an older envelope; it counts the envelope it stands for.
  std::map<uint64_t, uint64_t> deferred;
  for (const auto& [name, entry] : db.catalog_.retrieval())
    if (entry.deferred()) deferred.emplace(entry.persisted()->cas_id, entry.persisted()->encoded_bytes);
  for (uint64_t i = 0; i < db.store_.cas.count(); ++i) {
    QM_ASSIGN(auto blob, db.store_.cas.get(i));
    auto stands_for = deferred.find(i);
    const uint64_t size = stands_for != deferred.end() ? stands_for->second : blob.size();
    if (size > kU64Max - s.cas.stored_bytes) return fail(QmError::corruption("CAS byte count overflowed"));
    s.cas.stored_bytes += size;
  }
  uint64_t table_pages = 0;
  bool any_index = false;
  for (const auto& [name, t] : db.catalog_.tables()) {
    TableStats ts;
    ts.name = name;
    ts.columns = t.columns;
    ts.row_versions = t.row_versions;
    const uint64_t snapshot = db.clock_;
    QM_TRY(scan_envelopes(db.store_.cache, t, [&](uint64_t created_tx, uint64_t deleted_tx) -> Result<void> {
      if (version_visible(created_tx, deleted_tx, snapshot)) ts.live_rows = saturating_inc(ts.live_rows);
      return {};
    }));
    uint64_t columnar = 0;
    QM_TRY(measure_chain(db.store_.cache, t, ts, columnar));
    ts.compression.compressed_pages = columnar;
    ts.compression.codec = columnar == 0 ? "row-slotted"
                           : columnar == ts.pages ? "columnar-packed"
                                                  : "row+columnar-packed";
    for (const auto& [column, index] : t.indexes) {
      QM_ASSIGN(std::string encoded, index.encode_binary());
      ts.indexes.push_back(IndexStats{column, index.count(), index.key_count(), encoded.size()});
      any_index = true;
    }
    table_pages = saturating_add(table_pages, ts.pages);
    s.tables.push_back(std::move(ts));
  }
  s.orphaned_pages = s.allocated_pages > table_pages ? s.allocated_pages - table_pages : 0;
  s.format_version = db.effective_format_version(any_index);
  if (!db.catalog_.retrieval().empty() && s.format_version < 8) s.format_version = 8;
  for (const auto& info : persistent::catalog_infos(db.catalog_.retrieval(), db.clock_)) {
    std::string text;
    JsonWriter w(text);
    persistent::write_info(w, info);
    s.retrieval_indexes.push_back(std::move(text));
  }
  return s;
}

uint16_t Database::effective_format_version(bool any_secondary_index) const {
  // Unlike the written version, any secondary index counts as needing version 2 here.
  uint16_t version = written_format_version(false);
  if (any_secondary_index && version < 2) version = 2;
  return version;
}

void write_stats_json(JsonWriter& w, const DatabaseStats& s) {
  w.begin_object();
  write_counts(w, {{"format_version", s.format_version}, {"current_transaction", s.current_transaction}});
  w.key("storage_mode").string(s.storage_mode);
  w.key("writable").boolean(s.writable);
  write_counts(w, {{"page_size", s.page_size},
                   {"allocated_pages", s.allocated_pages},
                   {"allocated_page_bytes", s.allocated_page_bytes},
                   {"orphaned_pages", s.orphaned_pages}});
  w.key("buffer_pool").begin_object();
  write_counts(w, {{"capacity_pages", s.buffer_pool.capacity_pages}, {"resident_pages", s.buffer_pool.resident_pages}});
  w.end_object();
  w.key("cas").begin_object().key("blobs").uint64(s.cas.blobs).key("stored_bytes").uint64(s.cas.stored_bytes).end_object();
  w.key("tables").begin_array();
  for (const auto& t : s.tables) {
    w.begin_object();
    w.key("name").string(t.name);
    w.key("columns");
    write_strings(w, t.columns);
    write_counts(w, {{"live_rows", t.live_rows},
                     {"row_versions", t.row_versions},
                     {"pages", t.pages},
                     {"used_page_bytes", t.used_page_bytes},
                     {"free_page_bytes", t.free_page_bytes}});
    w.key("compression").begin_object();
    w.key("codec").string(t.compression.codec);
    write_counts(w, {{"compressed_pages", t.compression.compressed_pages}, {"saved_bytes", t.compression.saved_bytes}});
    w.end_object();
    w.key("indexes").begin_array();
    for (const auto& i : t.indexes) {
      w.begin_object();
      w.key("column").string(i.column);
      write_counts(w, {{"entries", i.entries}, {"distinct_keys", i.distinct_keys}, {"encoded_bytes", i.encoded_bytes}});
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.key("retrieval_indexes").begin_array();
  for (const auto& r : s.retrieval_indexes) w.raw(r);
  w.end_array();
  w.end_object();
}

std::string stats_to_json(const DatabaseStats& s) {
  std::string out;
  JsonWriter w(out);
  write_stats_json(w, s);
  return out;
}

}  // namespace qm::db
