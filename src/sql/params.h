// Positional parameters: `?` placeholders outside quotes. Binding writes each value into
// the text as an SQL literal, so the parser never sees parameters. Counting and binding
// share one scanner, so they always agree on what is a placeholder: a `?` inside a string
// literal, a double-quoted, backquoted or bracketed name is text, not a placeholder.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/value.h"

namespace qm::sql {

// Number of placeholders; never fails (an unterminated quote simply ends the scan).
size_t parameter_count(std::string_view sql);

// The text with every placeholder replaced by the literal of the next value: NULL, a
// decimal integer, a decimal with six fraction digits, or a single-quoted text with inner
// quotes doubled. A literal that would touch a word character, a digit, a quote, a `.` or
// a `-` is set apart by one space, so a bound value can never merge with its neighbours
// and change the statement's structure. Failures are QmError::Schema: a Blob value, too
// few values (at the first placeholder without one) or too many (after the scan).
Result<std::string> bind_params(std::string_view sql, std::span<const Value> params);
// The same, also recording the byte offset in the result where each literal starts.
Result<std::string> bind_params(std::string_view sql, std::span<const Value> params,
                                std::vector<size_t>& literal_offsets);

}  // namespace qm::sql
