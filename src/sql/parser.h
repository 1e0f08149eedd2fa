// The SQL entry point: one text in, one Statement or one positioned parse error out.
// Parsing is a pure function of the text; nothing outlives the call. Parameters are
// bound into the text beforehand (sql/params.h): a `?` reaching the parser is an
// unexpected character.
#pragma once

#include <string_view>

#include "core/error.h"
#include "sql/statement.h"

namespace qm::sql {

// Every failure is QmError::Query whose text is "<message> (line L, column C)" followed by
// the source line and a caret line (see point_at in sql/error_position.h).
Result<Statement> parse(std::string_view sql);

}  // namespace qm::sql
