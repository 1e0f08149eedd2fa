// Table: one table of an open database: its schema, the bounds of its page chain, the
// in-memory copy of its tail page and its secondary indexes. The name is the key of the
// database's table map.
//
// Invariants (established at open or creation, kept by every mutation):
// - first_page and tail_id are both present or both absent; a chain exists exactly when
//   row_versions > 0; first_page <= tail_id < the backend's page count;
// - on a writable database (workspace, memory, imported image) a table with a chain holds
//   `tail_page`, the page new rows are appended to; scans and row reads take it in place of
//   the cached copy of the tail, and a flush writes it. A production image holds none;
// - every UNIQUE column of a writable database has an index;
// - indexes hold the row id of every stored version, live or retired;
// - `page_ids`, once filled by ensure_table_page_ids, is the exact set of the chain's pages.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/value.h"
#include "table/page_set.h"
#include "sql/statement.h"
#include "storage/row_page.h"
#include "storage/secondary_index.h"

namespace qm::db {

// A table's secondary indexes by column name.
using IndexMap = std::map<std::string, storage::SecondaryIndex>;

struct Table {
  std::vector<std::string> columns;  // declaration order
  std::set<std::string> unique;
  std::set<std::string> not_null;
  std::map<std::string, Value> defaults;
  std::vector<sql::Predicate> checks;  // declaration order
  std::optional<uint64_t> first_page;
  std::optional<uint64_t> tail_id;
  std::optional<uint64_t> compaction_cursor;
  std::optional<storage::RowPage> tail_page;
  uint64_t row_versions = 0;
  uint64_t cold_pages = 0;
  // The chain's page ids, filled on first need (a cache of the verified walk, hence mutable).
  mutable std::optional<PageSet> page_ids;
  IndexMap indexes;

  // Position of a column by exact name.
  std::optional<size_t> column_position(std::string_view name) const {
    for (size_t i = 0; i < columns.size(); ++i)
      if (columns[i] == name) return i;
    return std::nullopt;
  }
  bool has_chain() const { return first_page.has_value(); }
};

using TableMap = std::map<std::string, Table, std::less<>>;

}  // namespace qm::db
