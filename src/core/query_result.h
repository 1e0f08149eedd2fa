// QueryResult: the outcome of one statement: rows with column names, an affected-row
// count, or done.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/value.h"

namespace qm {

struct RowsResult {
  std::vector<std::string> columns;
  std::vector<Row> rows;
};

struct MutatedResult {
  uint64_t count = 0;
};

struct DoneResult {};

using QueryResult = std::variant<RowsResult, MutatedResult, DoneResult>;

}  // namespace qm
