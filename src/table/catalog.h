// Catalog: the tables of one open database by name, each with its schema, chain bounds,
// tail page and secondary indexes. The retrieval catalog (persisted retrieval indexes by
// name) joins it here, beside the tables it is defined over, so that a reload or a rollback
// replaces both at once.
//
// Invariants: table names are unique and non-empty; a table's indexes change only through
// the write path (db/write_path.h), which keeps them in step with the stored row versions.
#pragma once

#include <string_view>
#include <utility>

#include "table/table.h"
#include "retrieval/catalog_entry.h"

namespace qm::db {

class Catalog {
 public:
  Catalog() = default;
  explicit Catalog(TableMap tables) : tables_(std::move(tables)) {}

  const TableMap& tables() const { return tables_; }
  TableMap& tables() { return tables_; }

  const Table* find(std::string_view name) const {
    auto it = tables_.find(name);
    return it == tables_.end() ? nullptr : &it->second;
  }
  Table* find(std::string_view name) {
    auto it = tables_.find(name);
    return it == tables_.end() ? nullptr : &it->second;
  }
  bool contains(std::string_view name) const { return tables_.find(name) != tables_.end(); }
  // True when the table exists and has a secondary index on the column.
  bool has_index(std::string_view table, std::string_view column) const {
    const Table* t = find(table);
    return t && t->indexes.find(std::string(column)) != t->indexes.end();
  }

  // The persisted retrieval indexes by name; each is defined over one of the tables.
  const persistent::Catalog& retrieval() const { return retrieval_; }
  persistent::Catalog& retrieval() { return retrieval_; }
  bool has_retrieval_index(std::string_view table) const {
    for (const auto& [name, entry] : retrieval_)
      if (entry.definition().table == table) return true;
    return false;
  }

 private:
  TableMap tables_;
  persistent::Catalog retrieval_;
};

}  // namespace qm::db
