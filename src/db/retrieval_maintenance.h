// Keeping persisted retrieval indexes in step with their tables. A write observer collects
// the row changes of the running statement to tables that carry retrieval indexes (the new
// versions with their values, the retired ones by row id); statement_written hands
// them to Database::maintain_retrieval once the statement has written all its rows, so each
// index follows a statement as one change, inside the statement's transaction.
//
// Invariants: only tables named by an index are collected, so writes elsewhere cost one set
// lookup; the collection is emptied when it is applied and whenever the catalog is replaced
// (a rollback or reload), so a failed statement leaves nothing behind for the next one.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/value.h"
#include "table/catalog.h"
#include "table/write_observers.h"

namespace qm::db {

struct RetrievalPending {
  std::set<std::string, std::less<>> indexed_tables;
  std::string table;  // the table whose changes are collected ("" when none)
  std::vector<uint64_t> removed;
  std::vector<Row> added;

  void refresh(const Catalog& catalog);
  void clear();
};

std::unique_ptr<WriteObserver> make_retrieval_collector(std::shared_ptr<RetrievalPending> pending);

// The error of a table with retrieval indexes holding more than kRetrievalTableMaxVersions
// row versions. The write path raises it at the version past the limit, so a long statement
// stops there instead of building all its rows first; the statement's end checks it again.
QmError retrieval_version_limit();

}  // namespace qm::db
