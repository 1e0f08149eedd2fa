// The one full read of a table: walk its page chain from the first page to the declared
// tail, hand every stored record version (live or retired) to a visitor, and check on the
// way that the chain agrees with the catalog.
//
// Invariants the walk enforces (all Corruption unless noted):
// - at most the backend's page count + 1 pages are visited ("page chain longer than total
//   page count (cycle?)"), so a cyclic chain ends;
// - the declared tail is reached and links nowhere; the tail is read from the table's
//   in-memory `tail_page` when it holds one, never from the cache;
// - the columnar pages met and the record versions met equal the declared counts;
// - every record carries exactly one value per table column.
// The walk applies no visibility rule and charges no budget: visitors do both. Rows are
// decoded into one reused buffer, so a walk that keeps nothing does not allocate per row;
// a visitor that keeps a row copies it. Visitors run while a cached page is lent and must
// not touch the page cache.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/record_envelope.h"
#include "core/value.h"
#include "table/function_ref.h"
#include "table/table.h"
#include "storage/cas_store.h"
#include "storage/page_cache.h"

namespace qm::db {

// One stored record version as a visitor sees it. `values` is lent for the call only.
struct RecordVersion {
  uint64_t row_id = 0;
  uint64_t created_tx = 0;
  uint64_t deleted_tx = 0;
  std::span<const Value> values;

  bool visible(uint64_t snapshot) const { return version_visible(created_tx, deleted_tx, snapshot); }
};

using ScanVisitor = FunctionRef<Result<void>(const RecordVersion&)>;
// Returns whether the walk goes on; false stops it at once.
using ScanUntilVisitor = FunctionRef<Result<bool>(const RecordVersion&)>;
using ScanEnvelopeVisitor = FunctionRef<Result<void>(uint64_t created_tx, uint64_t deleted_tx)>;

// Every record version of the table, in chain order and slot (or columnar row) order.
Result<void> scan(storage::PageCache& cache, const Table& table, const storage::CasStore& cas, ScanVisitor visit);

// The same walk, stopped when the visitor returns false. A stopped walk has not reached the
// chain's end, so none of its closing checks ran: only a reader that needs no more rows
// (a LIMIT met without a budget to charge the rest) stops.
Result<void> scan_until(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                        ScanUntilVisitor visit);

// The same walk for readers that drop most rows unseen. Every record is checked whole, as
// `scan` checks it (the same faults in the same order), but only the columns at `probe`
// positions are turned into values before `probe` decides; the other positions of the lent
// row hold stale values then. A version the probe keeps gets its remaining columns and goes
// to `visit`, whose false stops the walk as in scan_until. The probe's errors end the walk.
using ScanProbe = FunctionRef<Result<bool>(const RecordVersion&)>;
Result<void> scan_probed(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                         std::span<const uint32_t> probe_columns, ScanProbe probe, ScanUntilVisitor visit);

// The probed walk for a reader that keeps only some columns of the rows it keeps (a
// retrieval request's SELECT): a kept version gets just its `wanted_columns` (the other
// positions hold stale values) and reaches `visit` with the charge its whole row has in a
// query budget, counted from the stored field lengths without decoding the other fields.
// Every record is checked as `scan` checks it but for the UTF-8 of the texts it does not read.
using ScanChargedVisitor = FunctionRef<Result<bool>(const RecordVersion&, uint64_t charge)>;
Result<void> scan_narrow(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                         std::span<const uint32_t> probe_columns, std::span<const uint32_t> wanted_columns,
                         ScanProbe probe, ScanChargedVisitor visit);

// The record versions a chain gained after a reader last read it (another handle appended
// them): the walk starts at `page`, the tail that reader knew (or the first page of a chain
// it knew empty), passes over its first `known_slots` records and visits every later version
// to the table's declared tail, with the checks of `scan` counted over the whole chain:
// `known_versions` versions, and every columnar page the table declares, lie before the first
// record visited. `pages_met` receives each page read, `page` first.
struct AppendedFrom {
  uint64_t page = 0;
  uint16_t known_slots = 0;
  uint64_t known_versions = 0;
};
Result<void> scan_appended(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                           const AppendedFrom& from, ScanVisitor visit, std::vector<uint64_t>& pages_met);

// The envelopes alone, in the same order; no row body or blob is read.
Result<void> scan_envelopes(storage::PageCache& cache, const Table& table, ScanEnvelopeVisitor visit);

}  // namespace qm::db
