// Table and index DDL over one database: creating and dropping tables and building a
// secondary index by scanning a table. Each runs the mutation guards first, changes the
// in-memory catalog, tells the write observers and ends with the mutation's flush.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "sql/statement.h"
#include "table/query_budget.h"

namespace qm::db {

class Database;

// A new table: Schema "table `{}` already exists", or the schema faults of
// validate_schema_metadata; every UNIQUE column gets an empty index.
Result<void> create_table(Database& db, const std::string& name, const std::vector<std::string>& columns,
                          const std::vector<std::string>& unique, const std::vector<std::string>& not_null,
                          const std::map<std::string, Value>& defaults = {},
                          const std::vector<sql::Predicate>& checks = {});
// Removes the table from the catalog (its pages simply stop being referenced); its
// retrieval indexes go with it in the same atomic step.
Result<void> drop_table(Database& db, const std::string& name);
// Builds (or rebuilds) the index of one column from every stored version, under an
// optional budget; on failure the table keeps its former indexes. With `make_unique` the
// column also joins the table's UNIQUE set before the one flush, so the stored catalog
// never holds the index without the constraint (CREATE UNIQUE INDEX).
Result<void> create_index_bounded(Database& db, const std::string& table, const std::string& column,
                                  QueryBudget* budget, bool make_unique = false);

}  // namespace qm::db
