// Completing the rows of an INSERT to full table rows: one value per table column, in table
// order, from the statement's target list, the row's values and the columns' DEFAULTs.
// Pure; every failure is a Schema error that abandons the whole statement.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "table/table.h"
#include "sql/statement.h"

namespace qm::db {

// One row of an INSERT ... VALUES with an optional target list (INSERT ... DEFAULT VALUES
// is no list and an empty row).
Result<Row> normalize_insert_values(std::string_view table_name, const Table& table,
                                    const std::optional<std::vector<std::string>>& targets,
                                    std::span<const sql::InsertValue> values);

}  // namespace qm::db
