// The SQLite shell's `.dump` cannot put a line break inside a string literal, so it writes a
// text holding one as a call that puts the breaks back:
//
//   replace('a\nb','\n',char(10))                              (line feeds)
//   replace('a\rb','\r',char(13))                              (carriage returns)
//   replace(replace('a\r\nb','\r',char(13)),'\n',char(10))     (both)
//
// where the marker ('\n', or '\012' or '(\n1)'... when the text already holds the shorter
// one) stands for the break. The dialect has no replace() and needs no such call: a string
// literal may hold line breaks. This reads exactly those forms, as the shell writes them (no
// white space, at most two calls deep, char(10) or char(13) only, a non-empty marker), and
// gives the plain literal they stand for. Anything else is left to the parser.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qm::migrate {

struct ShellString {
  std::string literal;  // a single-quoted SQL literal, quotes doubled, breaks in place
  size_t end = 0;       // offset in the text just past the form
};

// The form that starts at sql[pos] (at its "replace("), or none.
std::optional<ShellString> read_shell_string(std::string_view sql, size_t pos);

}  // namespace qm::migrate
