// The quoted form of text in debug output and in messages that show a token or a value's
// debug form: double quotes, backslash escapes for quote, backslash, \n, \r, \t and \0,
// and \u{hex} for the other C0 and C1 control characters.
#pragma once

#include <string>
#include <string_view>

namespace qm {

void append_debug_quoted(std::string& out, std::string_view s);

}  // namespace qm
