// Small records passed between statement dispatch, the row sources and the write paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/value.h"

namespace qm::db {

// One visible row version with its address, as UPDATE and DELETE find it.
struct MatchedRow {
  uint64_t row_id = 0;
  Row values;
};

// The values a statement has already accepted for each UNIQUE column, in normal form
// (`unique_key`), so checking a row against the earlier rows of its statement is a lookup.
using PendingUnique = std::map<std::string, std::set<Value>, std::less<>>;

// The key under which UNIQUE treats a value: an Int n is the Decimal n * 1,000,000, so
// that Int 5 and Decimal 5.000000 are one value; every other value is itself.
Value unique_key(const Value& v);

// A prepared statement: the SQL as given (placeholders unbound) and its placeholder count.
struct PreparedStatement {
  std::string sql;
  size_t parameter_count = 0;
};

}  // namespace qm::db
