// The write path: every new row version and every deletion mark goes through these, which
// keep the secondary indexes in step and tell the write observers (table/write_observers.h)
// after the change is in place. INSERT, UPDATE and DELETE (query/statements) write only
// through them; the DDL half is in db/ddl.h.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/error.h"
#include "core/value.h"

namespace qm::db {

class Database;
class LiveRowCounts;

// Stores one row version (already validated by the caller) at the tail of the table: the
// clock advances and becomes its created_tx, long values go to the blob store, a full tail
// page is linked to a new one and written to the cache, indexed columns get the row id,
// observers hear of it. Returns the row id. TableNotFound for an unknown table.
Result<uint64_t> insert_validated_base(Database& db, std::string_view table, std::span<const Value> row);
// The value the clock takes next. A clock at its largest value cannot advance, so the write
// that needs it is refused.
Result<uint64_t> next_clock(const Database& db);
// Takes the next clock value: the deletion mark of one statement's retired versions.
Result<uint64_t> advance_clock(Database& db);
// Retires the version at `row_id` with `deleted_tx` (Corruption when the row id's page is
// not in the table's chain; nothing is written then); observers hear of it.
Result<void> mark_deleted(Database& db, std::string_view table, uint64_t row_id, uint64_t deleted_tx);
// A statement has written all its rows of `table`: the observers' per-statement step, then
// the statement's changes reach the table's retrieval indexes.
Result<void> statement_written(Database& db, std::string_view table);
// The live row count of each table, kept by a write observer (table/live_row_counts.h).
LiveRowCounts& live_row_counts(Database& db);

}  // namespace qm::db
