// The row sources of the executor: the envelope count behind COUNT(*), the filtered read of
// one table, the read in a secondary index's order, and the matching rows (with their row
// ids) of UPDATE and DELETE. Each reads at a snapshot, keeps only visible versions, charges
// the optional budget (every version read is a scanned row, every kept row is
// materialised) and returns all or nothing.
//
// A filtered read either walks the whole chain or, when the planner finds index
// candidates, reads those row ids. Candidates are read in the planner's order (ranges in
// order, keys in index order), each id once, and only when their page belongs to the
// table's own chain, so a damaged stored index can neither duplicate a row nor reach
// another table's pages. The index path returns the rows of the scan, in key order.
#include <algorithm>
#include <optional>
#include <unordered_set>

#include "query/exec/executor.h"
#include "db/write_path.h"
#include "query/exec/filtered_read.h"
#include "query/eval/ordering.h"
#include "query/eval/predicate.h"
#include "table/live_row_counts.h"
#include "table/chain_scan.h"
#include "query/plan/index_plan.h"
#include "table/row_access.h"
#include "table/text.h"

namespace qm::db {
namespace {

QmError outside_chain(uint64_t row_id) {
  return QmError::corruption(str("record address ", row_id, " points outside its table page chain"));
}

// Candidates in the order the planner gave them, each id once: a damaged index may repeat
// one, and a row must neither come out twice nor be marked twice.
void drop_repeated_ids(std::vector<uint64_t>& ids) {
  if (ids.size() < 2) return;
  // Ranges over keys loaded in order give rising ids: no copy, no sort.
  if (std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<uint64_t>()) == ids.end()) return;
  std::vector<uint64_t> sorted(ids);
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) return;
  std::unordered_set<uint64_t> seen;
  seen.reserve(ids.size());
  size_t kept = 0;
  for (uint64_t id : ids)
    if (seen.insert(id).second) ids[kept++] = id;
  ids.resize(kept);
}

}  // namespace

Result<void> read_filtered(Database& db, const Table& table, const sql::Predicate* where, uint64_t snapshot,
                           QueryBudget* budget, RowSink sink, const RowGate* gate,
                           const std::vector<uint32_t>* wanted) {
  std::optional<BoundPredicate> bound;
  if (where) {
    QM_TRY(check_predicate_columns(table.columns, *where));
    bound = BoundPredicate::bind(*where, table.columns);
    QM_ASSIGN(auto candidates, index_candidates(table.indexes, *where, budget));
    if (candidates) {
      std::vector<uint64_t>& ids = *candidates;
      drop_repeated_ids(ids);
      Row row;
      // Candidates come in runs on one page: its membership is looked up once per run.
      std::optional<uint64_t> owned_page;
      for (uint64_t id : ids) {
        if (budget) QM_TRY(budget->scan_row());
        if (owned_page != storage::row_page(id)) {
          QM_ASSIGN(bool owned, row_in_table(db.store().cache, table, id));
          if (!owned) return fail(outside_chain(id));
          owned_page = storage::row_page(id);
        }
        QM_ASSIGN(RecordEnvelope env, read_record_at(db.store().cache, table, db.store().cas, id, row));
        if (!env.visible(snapshot)) continue;
        if (bound->test(row) != Truth::True) continue;
        if (gate && !gate->keep(row)) continue;
        if (budget) QM_TRY(budget->materialize(row));
        QM_ASSIGN(bool more, sink(RecordVersion{id, env.created_tx, env.deleted_tx, row}));
        if (!more) break;
      }
      return {};
    }
  }
  // Versions that the WHERE or the gate drop need only the columns those read.
  auto probe = [&](const RecordVersion& version) -> Result<bool> {
    if (budget) QM_TRY(budget->scan_row());
    if (!version.visible(snapshot)) return false;
    if (bound && bound->test(version.values) != Truth::True) return false;
    return !gate || gate->keep(version.values);
  };
  auto keep = [&](const RecordVersion& version) -> Result<bool> {
    if (budget) QM_TRY(budget->materialize(version.values));
    return sink(version);
  };
  std::vector<uint32_t> probed;
  if (bound) bound->columns_read(probed);
  if (gate) probed.insert(probed.end(), gate->columns.begin(), gate->columns.end());
  if (wanted) {
    auto keep_charged = [&](const RecordVersion& version, uint64_t charge) -> Result<bool> {
      if (budget) QM_TRY(budget->materialize_charge(charge));
      return sink(version);
    };
    return scan_narrow(db.store().cache, table, db.store().cas, probed, *wanted, probe, keep_charged);
  }
  if (bound || gate) return scan_probed(db.store().cache, table, db.store().cas, probed, probe, keep);
  return scan_until(db.store().cache, table, db.store().cas, [&](const RecordVersion& version) -> Result<bool> {
    QM_ASSIGN(bool kept, probe(version));
    if (!kept) return true;
    return keep(version);
  });
}

Result<uint64_t> count_visible(Database& db, std::string_view table_name, std::optional<uint64_t> snapshot,
                               QueryBudget* budget) {
  const Table* table = db.catalog().find(table_name);
  if (!table) return fail(QmError::table_not_found(std::string(table_name)));
  // At the clock the live versions are counted already, once a scan has filled the count. A
  // caller with a budget gets the scan it charges, so its limits behave as they always did.
  const bool kept = !snapshot && !budget;
  if (kept)
    if (auto known = live_row_counts(db).find(table_name)) return *known;
  const uint64_t at = snapshot.value_or(db.clock());
  uint64_t count = 0;
  QM_TRY(scan_envelopes(db.store().cache, *table, [&](uint64_t created, uint64_t deleted) -> Result<void> {
    if (budget) QM_TRY(budget->scan_row());
    if (version_visible(created, deleted, at)) ++count;
    return {};
  }));
  if (!snapshot) live_row_counts(db).fill(table_name, count);  // a full scan at the clock
  return count;
}

Result<RowsResult> select_filtered_bounded(Database& db, std::string_view table_name, const sql::Predicate* where,
                                           std::optional<uint64_t> snapshot, QueryBudget* budget) {
  const Table* found = db.catalog().find(table_name);
  if (!found) return fail(QmError::table_not_found(std::string(table_name)));
  const Table& table = *found;
  RowsResult out;
  QM_TRY(read_filtered(db, table, where, snapshot.value_or(db.clock()), budget,
                       [&](const RecordVersion& v) -> Result<bool> {
                         out.rows.emplace_back(v.values.begin(), v.values.end());
                         return true;
                       }));
  out.columns = table.columns;
  return out;
}

Result<RowsResult> select_filtered_top_n(Database& db, std::string_view table_name, const sql::Predicate* where,
                                         std::optional<uint64_t> snapshot, std::span<const sql::OrderBy> order_by,
                                         uint64_t k) {
  const Table* found = db.catalog().find(table_name);
  if (!found) return fail(QmError::table_not_found(std::string(table_name)));
  const Table& table = *found;
  auto keys = order_keys(table.columns, order_by);
  if (!keys || k == 0) return select_filtered_bounded(db, table_name, where, snapshot, nullptr);
  // A max-heap of the best k rows so far under the strict order (keys, then read position):
  // its top is the row a better one replaces, and a row equal on the keys to the top comes
  // later, so it is worse. The heap's rows are exactly the first k of the stable sort.
  struct Kept {
    Row row;
    uint64_t seq;
  };
  std::vector<Kept> heap;
  heap.reserve(static_cast<size_t>(std::min<uint64_t>(k, 4096)));
  auto before = [&](const Kept& a, const Kept& b) {
    auto c = compare_by_keys(a.row, b.row, *keys);
    return c != 0 ? c < 0 : a.seq < b.seq;
  };
  uint64_t seq = 0;
  // Once k rows are held, a row must beat the worst of them: the gate tests that on the key
  // columns alone, so the rows it refuses are never decoded whole.
  std::vector<uint32_t> key_columns;
  for (const OrderKey& key : *keys) key_columns.push_back(static_cast<uint32_t>(key.pos));
  auto beats_worst = [&](std::span<const Value> values) {
    return heap.size() < k || compare_by_keys(values, heap.front().row, *keys) < 0;
  };
  const RowGate gate{key_columns, beats_worst};
  QM_TRY(read_filtered(db, table, where, snapshot.value_or(db.clock()), nullptr,
                       [&](const RecordVersion& v) -> Result<bool> {
    const uint64_t at = seq++;
    if (heap.size() < k) {
      heap.push_back(Kept{Row(v.values.begin(), v.values.end()), at});
      std::push_heap(heap.begin(), heap.end(), before);
    } else {
      std::pop_heap(heap.begin(), heap.end(), before);
      heap.back().row.assign(v.values.begin(), v.values.end());
      heap.back().seq = at;
      std::push_heap(heap.begin(), heap.end(), before);
    }
    return true;
  }, &gate));
  std::sort_heap(heap.begin(), heap.end(), before);
  RowsResult out;
  out.rows.reserve(heap.size());
  for (Kept& kept : heap) out.rows.push_back(std::move(kept.row));
  out.columns = table.columns;
  return out;
}

Result<MatchedRows> collect_matching(Database& db, std::string_view table_name, const sql::Predicate& where,
                                     std::optional<uint64_t> snapshot, QueryBudget* budget) {
  const Table* table = db.catalog().find(table_name);
  if (!table) return fail(QmError::table_not_found(std::string(table_name)));
  MatchedRows out(table->columns.size());
  QM_TRY(read_filtered(db, *table, &where, snapshot.value_or(db.clock()), budget,
                       [&](const RecordVersion& v) -> Result<bool> {
                         out.push_back(v.row_id, v.values);
                         return true;
                       }));
  return out;
}

Result<RowsResult> select_ordered_by_index(Database& db, std::string_view table_name, std::string_view column,
                                           bool descending, std::optional<uint64_t> snapshot,
                                           std::optional<uint64_t> stop, QueryBudget* budget) {
  const Table* found = db.catalog().find(table_name);
  if (!found) return fail(QmError::table_not_found(std::string(table_name)));
  const Table& table = *found;
  storage::PageCache& cache = db.store().cache;
  const storage::CasStore& cas = db.store().cas;
  auto index = table.indexes.find(std::string(column));
  if (index == table.indexes.end())
    return fail(QmError::query(str("no secondary index on column `", column, "`")));
  const uint64_t at = snapshot.value_or(db.clock());
  RowsResult out;
  Row row;
  bool done = stop && *stop == 0;
  auto visit_key = [&](std::span<const uint64_t> ids) -> Result<void> {
    for (uint64_t id : ids) {
      if (done) return {};
      if (budget) QM_TRY(budget->scan_row());
      QM_ASSIGN(bool owned, row_in_table(cache, table, id));
      if (!owned) return fail(outside_chain(id));
      QM_ASSIGN(RecordEnvelope env, read_record_at(cache, table, cas, id, row));
      if (!env.visible(at)) continue;
      if (budget) QM_TRY(budget->materialize(row));
      out.rows.push_back(row);
      if (stop && out.rows.size() >= *stop) done = true;
    }
    return {};
  };
  const auto& map = index->second.map();
  if (descending) {
    for (auto k = map.rbegin(); k != map.rend() && !done; ++k) QM_TRY(visit_key(k->second));
  } else {
    for (auto k = map.begin(); k != map.end() && !done; ++k) QM_TRY(visit_key(k->second));
  }
  out.columns = table.columns;
  return out;
}

}  // namespace qm::db
