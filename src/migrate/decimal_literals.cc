// Rewriting a dump's literals; see decimal_literals.h.
#include "migrate/decimal_literals.h"

#include <algorithm>

#include "migrate/dump_text.h"
#include "migrate/shell_strings.h"

namespace qm::migrate {
namespace {

constexpr size_t kFractionDigits = 6;
// No decimal of the dialect has more integer digits than this; a larger exponent is left
// for the parser to refuse in the dump's own words.
constexpr int64_t kMaxIntegerDigits = 40;

bool digit(char c) { return c >= '0' && c <= '9'; }
bool ascii_word_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

// Appends int_digits "." frac_digits, the fraction rounded to six places (half away from
// zero) when longer; an empty fraction is written as "0".
void append_fixed(std::string& out, std::string_view int_digits, std::string_view frac) {
  if (frac.size() <= kFractionDigits) {
    out.append(int_digits);
    out += '.';
    if (frac.empty()) out += '0';
    out.append(frac);
    return;
  }
  std::string digits;
  digits.reserve(int_digits.size() + kFractionDigits + 1);
  digits.append(int_digits);
  digits.append(frac.substr(0, kFractionDigits));
  if (frac[kFractionDigits] >= '5') {  // one unit in the last place
    size_t k = digits.size();
    while (k > 0 && digits[k - 1] == '9') digits[--k] = '0';
    if (k == 0)
      digits.insert(digits.begin(), '1');
    else
      ++digits[k - 1];
  }
  out.append(digits, 0, digits.size() - kFractionDigits);
  out += '.';
  out.append(digits, digits.size() - kFractionDigits, kFractionDigits);
}

// The fixed-point literal of int_digits.frac x 10^exponent, rounded; none when its integer
// part is too long for any decimal.
std::optional<std::string> fixed_point(std::string_view int_digits, std::string_view frac, int64_t exponent) {
  const std::string all = std::string(int_digits) + std::string(frac);
  const int64_t point = static_cast<int64_t>(int_digits.size()) + exponent;  // digits before the point
  if (point > kMaxIntegerDigits) return std::nullopt;
  std::string whole, fraction;
  if (point <= -static_cast<int64_t>(kFractionDigits) - 1) {
    fraction = std::string(kFractionDigits, '0');  // below half a millionth: rounds to zero
  } else if (point <= 0) {
    fraction = std::string(static_cast<size_t>(-point), '0') + all;
  } else if (point >= static_cast<int64_t>(all.size())) {
    whole = all + std::string(static_cast<size_t>(point) - all.size(), '0');
  } else {
    whole = all.substr(0, static_cast<size_t>(point));
    fraction = all.substr(static_cast<size_t>(point));
  }
  const size_t nonzero = whole.find_first_not_of('0');
  whole = nonzero == std::string::npos ? "0" : whole.substr(nonzero);
  std::string out;
  append_fixed(out, whole, fraction);
  return out;
}

// The exponent part "e[+-]digits" at sql[i], when it is one: its value (saturated) and end.
std::optional<std::pair<int64_t, size_t>> exponent_at(std::string_view sql, size_t i) {
  if (i >= sql.size() || (sql[i] != 'e' && sql[i] != 'E')) return std::nullopt;
  size_t j = i + 1;
  const bool negative = j < sql.size() && sql[j] == '-';
  if (j < sql.size() && (sql[j] == '+' || sql[j] == '-')) ++j;
  if (j >= sql.size() || !digit(sql[j])) return std::nullopt;
  int64_t value = 0;
  for (; j < sql.size() && digit(sql[j]); ++j) value = std::min<int64_t>(value * 10 + (sql[j] - '0'), 1000000);
  // A letter, digit or non-ASCII character right after makes it a word, not a number.
  if (j < sql.size() && (ascii_word_start(sql[j]) || static_cast<unsigned char>(sql[j]) >= 0x80)) return std::nullopt;
  return std::pair{negative ? -value : value, j};
}

// The word at sql[i] (whose first character is known to start one): its end.
size_t word_end(std::string_view sql, size_t i) {
  i += char_at(sql, i).len;
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
  return i;
}

class Rewriter {
 public:
  explicit Rewriter(std::string_view sql) : sql_(sql) {}

  // sql[from, to) becomes `with`.
  void replace(size_t from, size_t to, std::string_view with) {
    if (!out_) out_.emplace().text.reserve(sql_.size());
    LiteralRewrite& r = *out_;
    r.text.append(sql_.substr(copied_, from - copied_));
    const size_t out_from = r.text.size();
    r.text.append(with);
    r.pieces.push_back({from, to, out_from, r.text.size()});
    copied_ = to;
  }

  std::optional<LiteralRewrite> finish() {
    if (out_) out_->text.append(sql_.substr(copied_));
    return std::move(out_);
  }

 private:
  std::string_view sql_;
  std::optional<LiteralRewrite> out_;
  size_t copied_ = 0;  // sql_[0, copied_) is already in the text
};

}  // namespace

size_t LiteralRewrite::source_offset(size_t text_offset) const {
  auto after = std::upper_bound(pieces.begin(), pieces.end(), text_offset,
                                [](size_t offset, const Piece& p) { return offset < p.out_from; });
  if (after == pieces.begin()) return text_offset;
  const Piece& p = *std::prev(after);
  if (text_offset < p.out_to) return p.from;
  return p.to + (text_offset - p.out_to);
}

std::optional<LiteralRewrite> rewrite_dump_literals(std::string_view sql) {
  constexpr std::string_view kShellCall = "replace";
  Rewriter rewriter(sql);
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
      if (!word_start) {
        i += ch.len;
        continue;
      }
      const size_t end = word_end(sql, i);
      if (sql.substr(i, end - i) == kShellCall) {
        if (auto shell = read_shell_string(sql, i)) {
          rewriter.replace(i, shell->end, shell->literal);
          i = shell->end;
          continue;
        }
      }
      i = end;
      continue;
    }
    const size_t start = i;
    while (i < sql.size() && digit(sql[i])) ++i;
    const std::string_view int_digits = sql.substr(start, i - start);
    std::string_view frac;
    if (i + 1 < sql.size() && sql[i] == '.' && digit(sql[i + 1])) {
      const size_t point = i++;
      while (i < sql.size() && digit(sql[i])) ++i;
      frac = sql.substr(point + 1, i - point - 1);
    }
    if (auto exponent = exponent_at(sql, i)) {
      auto fixed = fixed_point(int_digits, frac, exponent->first);
      if (fixed) rewriter.replace(start, exponent->second, *fixed);
      i = exponent->second;
      continue;
    }
    if (frac.size() <= kFractionDigits) continue;
    std::string rounded;
    append_fixed(rounded, int_digits, frac);
    rewriter.replace(start, i, rounded);
  }
  return rewriter.finish();
}

}  // namespace qm::migrate
