// Resolving a column name against the column names of a row. A name finds the columns of
// exactly that name (bytewise); failing that, a name without a full stop finds every
// qualified column "q.name". Resolution wants exactly one match. It allocates nothing
// unless it fails.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace qm::db {

// Every matching position, in column order.
std::vector<size_t> column_matches(std::span<const std::string> names, std::string_view name);

// The single matching position; Schema "no column `{}`" or "ambiguous column `{}`".
Result<size_t> projection_col_pos(std::span<const std::string> names, std::string_view name);

// A row narrower than its column names can only come from damaged storage; evaluators
// refuse it instead of reading past its end.
inline QmError short_row() { return QmError::corruption("record field count does not match table columns"); }

}  // namespace qm::db
