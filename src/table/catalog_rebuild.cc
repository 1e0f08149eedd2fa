#include "table/catalog_rebuild.h"

#include "table/chain_scan.h"

#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/saturating.h"
#include "table/schema.h"
#include "table/write_observers.h"
#include "storage/cold_page.h"
#include "storage/page.h"
#include "storage/record.h"
#include "storage/row_page.h"

namespace qm::db {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();


QmError corrupt(std::string text) { return QmError::corruption(std::move(text)); }

QmError chain_too_long() { return corrupt("page chain longer than total page count (cycle?)"); }
QmError tail_links_on() { return corrupt("table tail page links to another page"); }
QmError tail_not_reached() { return corrupt("table page chain does not reach its declared tail"); }
QmError cold_count_mismatch(uint64_t declared, uint64_t counted) {
  return corrupt("manifest declares " + std::to_string(declared) + " cold page(s), page chain contains " +
                 std::to_string(counted));
}

// Walks one table's chain, handing every stored record version (retired ones included) to
// the visitor, and checks the walk against the table's declarations.

// Phase 1 of the rebuild for one table record: schema, chain bounds and the tail page.
Result<Table> build_table(storage::PageCache& cache, const TableMeta& meta, bool writable, uint64_t total_pages) {
  QM_TRY(validate_schema_metadata(
      SchemaView{meta.name, meta.columns, meta.unique_columns, meta.not_null_columns, meta.defaults, meta.checks},
      /*stored=*/true));
  const std::string quoted = "table `" + meta.name + "`";
  if (meta.first_page.has_value() != meta.tail_id.has_value())
    return fail(corrupt(quoted + " must define both first_page and tail_id, or neither"));
  Table t = table_of(meta);
  if (meta.first_page) {
    const uint64_t first = *meta.first_page;
    const uint64_t tail = *meta.tail_id;
    if (meta.row_versions == 0) return fail(corrupt(quoted + " has a page chain but no row versions"));
    if (first >= total_pages || tail >= total_pages || tail < first)
      return fail(corrupt(quoted + " has invalid head/tail page ids (" + std::to_string(first) + ", " +
                          std::to_string(tail) + ") for " + std::to_string(total_pages) + " pages"));
    if (writable) {
      // Straight from the backend: the copy becomes the page new rows are appended to.
      QM_ASSIGN(storage::PageBox bytes, cache.backend().read_page(tail));
      QM_TRY(storage::verify_page_checksum(tail, storage::ConstPageSpan(*bytes)));
      QM_ASSIGN(storage::RowPage page, storage::RowPage::from_bytes(*bytes));
      if (page.next_page())
        return fail(corrupt(quoted + " tail page " + std::to_string(tail) + " links to another page"));
      t.tail_page = std::move(page);
    }
  } else if (meta.row_versions > 0) {
    return fail(corrupt(quoted + " has row versions but no page chain"));
  }
  return t;
}

// Phase 2 for one table: stored indexes, then a rescan for the wanted ones still missing.
Result<void> build_indexes(storage::PageCache& cache, const storage::CasStore& cas, const TableMeta& meta,
                           Table& t, bool writable, std::span<const uint8_t> region, std::vector<StoredIndex>* built) {
  if (!meta.binary_indexes.empty()) {
    for (const auto& desc : meta.binary_indexes) {
      if (desc.offset > region.size() || desc.len > region.size() - desc.offset)
        return fail(corrupt("index region descriptor out of bounds"));
      QM_ASSIGN(auto index, storage::SecondaryIndex::decode_binary(region.subspan(desc.offset, desc.len)));
      t.indexes.insert_or_assign(desc.column, std::move(index));
    }
  } else if (built) {
    for (auto& stored : *built) t.indexes.insert_or_assign(stored.column, std::move(stored.index));
  } else {
    for (const auto& stored : meta.indexes)
      t.indexes.insert_or_assign(stored.column, storage::SecondaryIndex::from_pairs(stored.pairs));
  }
  std::set<std::string> wanted(meta.indexed_columns.begin(), meta.indexed_columns.end());
  if (writable) wanted.insert(t.unique.begin(), t.unique.end());
  IndexMap fills;
  for (const auto& column : wanted) {
    if (t.indexes.contains(column)) continue;
    if (!t.column_position(column)) return fail(QmError::schema("no column `" + column + "`"));
    fills.emplace(column, storage::SecondaryIndex());
  }
  if (fills.empty()) return {};  // every index is stored: the pages are not visited
  QM_TRY(scan(cache, t, cas, [&](const RecordVersion& version) -> Result<void> {
    index_row_version(fills, t.columns, version.row_id, version.values);
    return {};
  }));
  for (auto& [column, index] : fills) t.indexes.insert_or_assign(column, std::move(index));
  return {};
}

// The next link and kind of one chain page.
Result<std::pair<std::optional<uint64_t>, bool>> page_link_and_kind(storage::ConstPageSpan bytes) {
  const uint8_t type = bytes[storage::kPageTypeOffset];
  if (type == storage::kRowPageType) {
    uint64_t next = load_u64(bytes.data() + storage::kRowNextOffset);
    return std::pair{next == storage::kNoPage ? std::nullopt : std::optional<uint64_t>(next), false};
  }
  if (type == storage::kColumnarPageType) {
    QM_ASSIGN(auto header, storage::ColdPage::validate(bytes));
    return std::pair{header.next_page, true};
  }
  return fail(QmError::invalid_page_type(type));
}

}  // namespace



Result<TableMap> build_tables(storage::PageCache& cache, const storage::CasStore& cas, const Manifest& manifest,
                              bool writable, std::span<const uint8_t> index_region,
                              std::vector<std::vector<StoredIndex>>* built) {
  if (built && built->size() != manifest.tables.size()) built = nullptr;
  const uint64_t total_pages = cache.backend().page_count();
  TableMap tables;
  // First and tail page ids already claimed, with the table that claims them: two chains that
  // share one would append into and overwrite each other's pages.
  std::map<uint64_t, const std::string*> claimed;
  for (const auto& meta : manifest.tables) {
    if (meta.name.empty()) return fail(corrupt("manifest contains a table with an empty name"));
    if (tables.contains(meta.name)) return fail(corrupt("manifest contains duplicate table `" + meta.name + "`"));
    QM_ASSIGN(Table t, build_table(cache, meta, writable, total_pages));
    if (t.first_page) {
      for (uint64_t id : {*t.first_page, *t.tail_id}) {
        auto it = claimed.find(id);
        if (it != claimed.end() && *it->second != meta.name)
          return fail(corrupt("tables `" + *it->second + "` and `" + meta.name + "` share page " +
                              std::to_string(id) + " of their page chains"));
      }
    }
    auto [pos, inserted] = tables.emplace(meta.name, std::move(t));
    (void)inserted;
    if (pos->second.first_page) {
      claimed.emplace(*pos->second.first_page, &pos->first);
      claimed.emplace(*pos->second.tail_id, &pos->first);
    }
  }
  for (size_t i = 0; i < manifest.tables.size(); ++i) {
    const TableMeta& meta = manifest.tables[i];
    QM_TRY(build_indexes(cache, cas, meta, tables.find(meta.name)->second, writable, index_region,
                         built ? &(*built)[i] : nullptr));
  }
  return tables;
}

Result<void> ensure_table_page_ids(storage::PageCache& cache, const Table& table) {
  if (table.page_ids) return {};
  const uint64_t total_pages = cache.backend().page_count();
  const uint64_t limit = saturating_inc(cache.backend().held_page_count());
  PageSet ids;
  uint64_t steps = 0;
  uint64_t cold = 0;
  bool tail_reached = false;
  bool cursor_seen = false;
  std::optional<uint64_t> current = table.first_page;
  while (current) {
    steps = saturating_inc(steps);
    if (steps > limit) return fail(chain_too_long());
    const uint64_t id = *current;
    if (id >= total_pages)
      return fail(corrupt("table page " + std::to_string(id) + " is outside the " + std::to_string(total_pages) +
                          "-page backend"));
    if (!ids.insert(id)) return fail(corrupt("cyclic table page chain"));
    std::pair<std::optional<uint64_t>, bool> link;
    if (table.tail_id == id && table.tail_page) {
      link = {table.tail_page->next_page(), false};
    } else {
      QM_ASSIGN(link, cache.with_page(id, page_link_and_kind));
    }
    if (link.second) {
      cold = saturating_inc(cold);
      if (cold > table.cold_pages)
        return fail(corrupt("page chain contains more cold pages than the manifest declares"));
    }
    if (table.tail_id == id) {
      tail_reached = true;
      if (link.first) return fail(tail_links_on());
    }
    if (table.compaction_cursor == id) cursor_seen = true;
    current = link.first;
  }
  if (cold != table.cold_pages) return fail(cold_count_mismatch(table.cold_pages, cold));
  if (table.tail_id && !tail_reached) return fail(tail_not_reached());
  if (table.compaction_cursor && !cursor_seen) return fail(corrupt("table compaction cursor is outside its page chain"));
  table.page_ids = std::move(ids);
  return {};
}

Result<uint64_t> cas_pool_end(const Manifest& manifest, uint64_t pages_end, uint64_t manifest_offset) {
  const uint64_t end = manifest.index_region ? manifest.index_region->first : manifest_offset;
  if (end < pages_end || end > manifest_offset)
    return fail(corrupt("CAS pool / index region bounds are inconsistent"));
  return end;
}

Result<std::span<const uint8_t>> slice_index_region(std::span<const uint8_t> image, const Manifest& manifest,
                                                    uint64_t pages_end, uint64_t manifest_offset) {
  if (!manifest.index_region) return std::span<const uint8_t>();
  const auto [offset, len] = *manifest.index_region;
  if (offset < pages_end) return fail(corrupt("index region overlaps the CAS pool"));
  if (len > kU64Max - offset) return fail(corrupt("index region out of bounds"));
  const uint64_t end = offset + len;
  if (end > manifest_offset || end > image.size()) return fail(corrupt("index region out of bounds"));
  return image.subspan(offset, len);
}

namespace {

// The fields a table and its manifest entry hold alike, copied in either direction.
template <class From, class To>
void copy_common_fields(const From& from, To& to) {
  to.columns = from.columns;
  to.defaults = from.defaults;
  to.checks = from.checks;
  to.first_page = from.first_page;
  to.tail_id = from.tail_id;
  to.row_versions = from.row_versions;
  to.cold_pages = from.cold_pages;
  to.compaction_cursor = from.compaction_cursor;
}

}  // namespace

TableMeta table_meta_of(const std::string& name, const Table& t) {
  TableMeta meta;
  meta.name = name;
  copy_common_fields(t, meta);
  meta.unique_columns.assign(t.unique.begin(), t.unique.end());
  meta.not_null_columns.assign(t.not_null.begin(), t.not_null.end());
  return meta;
}

Table table_of(const TableMeta& meta) {
  Table t;
  copy_common_fields(meta, t);
  t.unique.insert(meta.unique_columns.begin(), meta.unique_columns.end());
  t.not_null.insert(meta.not_null_columns.begin(), meta.not_null_columns.end());
  return t;
}

}  // namespace qm::db
