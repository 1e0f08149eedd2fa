// Single stored rows by row id.
//
// `read_record_at` fetches one version (envelope and values) for an index candidate or an
// ordered index read; it applies no visibility rule. `patch_delete_at` retires one version
// by writing the deleting clock value into its envelope, the only in-place change a stored
// record ever gets; it first proves the row id's page belongs to the table's own chain, so
// a stale or forged row id can never mark a row of another table. Both use the table's
// in-memory tail page in place of the cached copy, like the scan.
#pragma once

#include <cstdint>
#include <optional>

#include "core/error.h"
#include "core/record_envelope.h"
#include "core/value.h"
#include "table/table.h"
#include "storage/cas_store.h"
#include "storage/page.h"
#include "storage/page_cache.h"

namespace qm::db {

// The version at `row_id`, decoded into `out` (reused; left empty on failure).
Result<RecordEnvelope> read_record_at(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                                      uint64_t row_id, Row& out);

// Whether the row id's page is one of the table's chain pages (fills the table's page-id
// set on first need). A row id read from a secondary index passes this before it is read.
Result<bool> row_in_table(storage::PageCache& cache, const Table& table, uint64_t row_id);

// Sets deleted_tx of the version at `row_id`. Corruption "record address {} points outside
// its table page chain" when its page is not in the chain; nothing is written on failure.
Result<void> patch_delete_at(storage::PageCache& cache, Table& table, uint64_t row_id, uint64_t deleted_tx);
}  // namespace qm::db
