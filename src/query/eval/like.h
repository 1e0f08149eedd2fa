// LIKE matching over Unicode scalar values: '%' matches any run of characters (also
// none), '_' exactly one character, everything else itself, case-sensitively, with no
// escape character. Works on the UTF-8 bytes in place (no allocation): a character is
// one lead byte and its continuation bytes, and two valid characters are equal exactly
// when their encodings are. Backtracking goes only to the last '%', so the cost is at
// most the product of the two lengths.
#pragma once

#include <string_view>

namespace qm::db {

bool like_match(std::string_view text, std::string_view pattern);

}  // namespace qm::db
