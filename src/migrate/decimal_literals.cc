// Rounding of long number literals; see decimal_literals.h.
#include "migrate/decimal_literals.h"

#include "migrate/dump_text.h"

namespace qm::migrate {
namespace {

constexpr size_t kFractionDigits = 6;

bool digit(char c) { return c >= '0' && c <= '9'; }
bool ascii_word_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

// Appends the number whose integer digits and first six fraction digits are given, plus one
// unit in the last place.
void append_rounded_up(std::string& out, std::string_view int_digits, std::string_view frac6) {
  std::string digits;
  digits.reserve(int_digits.size() + kFractionDigits + 1);
  digits.append(int_digits);
  digits.append(frac6);
  size_t k = digits.size();
  while (k > 0 && digits[k - 1] == '9') digits[--k] = '0';
  if (k == 0)
    digits.insert(digits.begin(), '1');
  else
    ++digits[k - 1];
  out.append(digits, 0, digits.size() - kFractionDigits);
  out += '.';
  out.append(digits, digits.size() - kFractionDigits, kFractionDigits);
}

}  // namespace

std::optional<std::string> round_decimal_literals(std::string_view sql) {
  std::optional<std::string> out;
  size_t copied = 0;  // sql[0, copied) is already in out
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (quote_closer(c)) {
      i = skip_quoted(sql, i);
      if (i == std::string_view::npos) break;  // the parser reports the open quote
      continue;
    }
    if (!digit(c)) {
      if (static_cast<unsigned char>(c) < 0x80 && !ascii_word_start(c)) {
        ++i;  // punctuation and white space, the common case
        continue;
      }
      Char ch = char_at(sql, i);
      // A word runs over digits too, as the lexer reads it; a non-ASCII numeric starts one.
      const bool word_start = ch.cp < 0x80 ? is_word_start(ch.cp) : is_word_continue(ch.cp);
      i += ch.len;
      if (word_start)
        while (i < sql.size()) {
          if (static_cast<unsigned char>(sql[i]) < 0x80) {
            if (!ascii_word_start(sql[i]) && !digit(sql[i])) break;
            ++i;
            continue;
          }
          Char next = char_at(sql, i);
          if (!is_word_continue(next.cp)) break;
          i += next.len;
        }
      continue;
    }
    const size_t start = i;
    while (i < sql.size() && digit(sql[i])) ++i;
    if (i + 1 >= sql.size() || sql[i] != '.' || !digit(sql[i + 1])) continue;
    const size_t point = i++;
    while (i < sql.size() && digit(sql[i])) ++i;
    if (i - point - 1 <= kFractionDigits) continue;
    if (!out) out.emplace().reserve(sql.size());
    out->append(sql.substr(copied, start - copied));
    const std::string_view int_digits = sql.substr(start, point - start);
    const std::string_view frac6 = sql.substr(point + 1, kFractionDigits);
    if (sql[point + 1 + kFractionDigits] >= '5') {
      append_rounded_up(*out, int_digits, frac6);
    } else {
      out->append(sql.substr(start, point + 1 + kFractionDigits - start));
    }
    copied = i;
  }
  if (out) out->append(sql.substr(copied));
  return out;
}

}  // namespace qm::migrate
