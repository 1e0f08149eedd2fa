// The filtered read of one table shared by SELECT, UPDATE and DELETE: visible versions at a
// snapshot that pass the WHERE, from index candidates when the planner finds some, else
// from the chain walk. Every version read is charged as a scanned row and every kept one as
// materialised before the sink sees it; the sink's false ends the read early (a reader that
// needs no more rows and has no budget to charge the rest).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.h"
#include "db/database.h"
#include "table/query_budget.h"
#include "table/chain_scan.h"
#include "table/function_ref.h"
#include "sql/statement.h"

namespace qm::db {

// Receives each kept row (lent for the call); returns whether the read goes on.
using RowSink = FunctionRef<Result<bool>(const RecordVersion&)>;

// A last test after the WHERE that reads only `columns` (a top-N's keys against its worst
// row): a version it refuses is dropped before its other columns are decoded and before it is
// charged as materialised, as if the sink had skipped it.
struct RowGate {
  std::span<const uint32_t> columns;
  FunctionRef<bool(std::span<const Value>)> keep;
};

// With `wanted`, the sink reads only those column positions of a kept row: a chain walk
// then decodes nothing else of it (the other positions hold stale values), while every
// charge stays that of the whole row.
Result<void> read_filtered(Database& db, const Table& table, const sql::Predicate* where, uint64_t snapshot,
                           QueryBudget* budget, RowSink sink, const RowGate* gate = nullptr,
                           const std::vector<uint32_t>* wanted = nullptr);

}  // namespace qm::db
