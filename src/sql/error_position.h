// Positioned parse-error texts: the message, "(line L, column C)", the source line and a
// caret under the offending character. Lines break only at line feeds; positions and
// columns count characters, so text before the error may hold any UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/error.h"

namespace qm::sql {

// "{message} (line {}, column {})\n  {source line}\n  {spaces}^". A position beyond the
// end of the text is clamped to the end. Tolerates invalid UTF-8 (a bad byte counts as
// one character).
std::string point_at(std::string_view sql, size_t pos, std::string_view message);

inline QmError parse_error(std::string_view sql, size_t pos, std::string_view message) {
  return QmError::query(point_at(sql, pos, message));
}

}  // namespace qm::sql
