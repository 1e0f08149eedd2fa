#include "sql/error_position.h"

#include "core/utf8.h"

namespace qm::sql {
namespace {

// Byte length of the character starting with lead byte c; invalid leads count as one.
size_t char_len(unsigned char c, size_t remaining) {
  const size_t n = utf8_sequence_length(c);
  return n != 0 && n <= remaining ? n : 1;
}

}  // namespace

std::string point_at(std::string_view sql, size_t pos, std::string_view message) {
  // Walk to the character position, remembering where its line starts.
  size_t byte = 0, chars = 0, line = 1, line_start_byte = 0, line_start_char = 0;
  while (byte < sql.size() && chars < pos) {
    auto c = static_cast<unsigned char>(sql[byte]);
    byte += char_len(c, sql.size() - byte);
    ++chars;
    if (c == '\n') {
      ++line;
      line_start_byte = byte;
      line_start_char = chars;
    }
  }
  size_t line_end = sql.find('\n', byte);
  if (line_end == std::string_view::npos) line_end = sql.size();
  size_t column = chars - line_start_char;  // characters before the caret on this line

  std::string out;
  out.reserve(message.size() + 48 + 2 * (line_end - line_start_byte));
  out.append(message);
  out += " (line ";
  out += std::to_string(line);
  out += ", column ";
  out += std::to_string(column + 1);
  out += ")\n  ";
  out.append(sql.substr(line_start_byte, line_end - line_start_byte));
  out += "\n  ";
  out.append(column, ' ');
  out += '^';
  return out;
}

}  // namespace qm::sql
