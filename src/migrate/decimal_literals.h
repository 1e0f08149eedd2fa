// Other engines dump floating-point values with up to twenty significant digits, and often
// just below the value they hold (-24.875 as -24.874999999999999999). The dialect keeps six
// decimal places and drops the digits beyond them, which would store such a value a
// millionth too small; a dump's number literals are therefore rounded to six places (half
// away from zero) before the statement is parsed.
//
// Invariants: a literal is found exactly where the SQL lexer would read a number (not in
// quotes, not inside a word); everything else is copied unchanged; linear in the text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm::migrate {

// The statement with every number literal of more than six fraction digits rounded to six,
// or none when it has no such literal.
std::optional<std::string> round_decimal_literals(std::string_view sql);

}  // namespace qm::migrate
