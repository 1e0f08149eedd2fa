// The literals of a foreign dump that the dialect reads differently, rewritten before a
// statement is parsed:
// - Other engines dump floating-point values with up to twenty significant digits, and often
//   just below the value they hold (-24.875 as -24.874999999999999999). The dialect keeps six
//   decimal places and drops the digits beyond them, which would store such a value a
//   millionth too small; a number literal is therefore rounded to six places (half away
//   from zero).
// - They also write numbers in exponent notation (1.51666666666666660745e+00, 1.0e-07,
//   2.5e+20), which the dialect does not read: such a number becomes the fixed-point literal
//   of the same value, rounded the same way, and stays a decimal (2.5e+20 becomes
//   250000000000000000000.0). One whose magnitude no decimal can hold is left as written.
// - The SQLite shell writes a text with line breaks as a replace() call (see
//   migrate/shell_strings.h); the call becomes the string literal it stands for.
//
// Invariants: a literal is found exactly where the SQL lexer would read it (not in quotes,
// not inside a word); everything else is copied unchanged; linear in the text. Each piece
// rewritten is recorded, so an error in the rewritten text can be pointed at the dump's own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::migrate {

struct LiteralRewrite {
  // The statement's bytes [from, to) became the text's bytes [out_from, out_to).
  struct Piece {
    size_t from, to, out_from, out_to;
  };
  std::string text;
  std::vector<Piece> pieces;  // in text order

  // Where a byte offset of the rewritten text stands in the statement: a rewritten piece maps
  // to its start, the copied text between pieces byte for byte.
  size_t source_offset(size_t text_offset) const;
};

// The statement with its literals rewritten as above, or none when none needs it.
std::optional<LiteralRewrite> rewrite_dump_literals(std::string_view sql);

}  // namespace qm::migrate
