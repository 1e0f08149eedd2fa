#include "sql/lexer.h"

#include <unicode/uchar.h>

#include <array>
#include <limits>

#include "core/utf8.h"
#include "sql/error_position.h"

namespace qm::sql {
namespace {

bool ascii_alpha(char32_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

// ASCII character classes for the lexer's fast path.
enum : uint8_t { kOther = 0, kSpace = 1, kWordStart = 2, kDigit = 3 };
constexpr std::array<uint8_t, 128> make_ascii_class() {
  std::array<uint8_t, 128> t{};
  for (char c : {' ', '\t', '\n', '\v', '\f', '\r'}) t[static_cast<unsigned char>(c)] = kSpace;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kWordStart;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kWordStart;
  t['_'] = kWordStart;
  for (int c = '0'; c <= '9'; ++c) t[c] = kDigit;
  return t;
}
constexpr std::array<uint8_t, 128> kAsciiClass = make_ascii_class();

bool unicode_numeric(char32_t c) {
  int8_t t = u_charType(static_cast<UChar32>(c));
  return t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER;
}

bool unicode_alphabetic(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC); }

// Byte offset of the first malformed UTF-8 sequence, or npos.
size_t first_invalid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t start = i;
    // Validate just this character by handing it to the strict checker.
    auto c = static_cast<unsigned char>(s[i]);
    const size_t len = utf8_sequence_length(c);
    if (len < 2 || s.size() - i < len || !is_valid_utf8(s.substr(i, len))) return start;
    i += len;
  }
  return std::string_view::npos;
}

class Lexer {
 public:
  Lexer(std::string_view sql, std::vector<Token>& out) : sql_(sql), out_(out) {}
  Lexer(std::string_view sql, std::vector<Token>& out, size_t byte, size_t character, size_t depth)
      : sql_(sql), out_(out), b_(byte), c_(character), depth_(depth) {}

  Result<size_t> run() {
    QM_TRY(check_utf8());
    QM_TRY(fill(static_cast<size_t>(-1)));
    return c_;
  }

  Result<void> check_utf8() const {
    if (size_t bad = first_invalid_utf8(sql_); bad != std::string_view::npos) {
      size_t chars = utf8_length(sql_.substr(0, bad));
      return fail(parse_error(sql_, chars, "SQL text is not valid UTF-8"));
    }
    return {};
  }

  // Lexes until out holds `limit` tokens or the text ends.
  Result<void> fill(size_t limit) {
    while (b_ < sql_.size() && out_.size() < limit) {
      auto c = static_cast<unsigned char>(sql_[b_]);
      // The common cases first, without a call: ASCII white space and words.
      if (c < 0x80) {
        uint8_t cls = kAsciiClass[c];
        if (cls == kSpace) {
          ++b_;
          ++c_;
        } else if (cls == kWordStart) {
          word();
        } else {
          QM_TRY(ascii_token(static_cast<char>(c)));
        }
        continue;
      }
      size_t at = b_;
      char32_t cp = decode_utf8(sql_, at);
      if (is_sql_white_space(cp)) {
        b_ = at;
        ++c_;
      } else if (is_word_start(cp)) {
        word();
      } else {
        QM_TRY(unexpected(cp));
      }
    }
    return {};
  }

  size_t byte() const { return b_; }
  size_t character() const { return c_; }
  size_t depth() const { return depth_; }

 private:
  Result<void> ascii_token(char c) {
    switch (c) {
      case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
        ++b_;
        ++c_;
        return {};
      case '(':
        if (++depth_ > kMaxParenDepth)
          return fail(error_here("SQL expression nesting exceeds the " + std::to_string(kMaxParenDepth) +
                                 "-level limit"));
        return single(Tok::LParen);
      case ')':
        if (depth_ > 0) --depth_;
        return single(Tok::RParen);
      case ',': return single(Tok::Comma);
      case '=': return single(Tok::Eq);
      case '*': return single(Tok::Star);
      case '.': return single(Tok::Dot);
      case ';': return single(Tok::Semicolon);
      case '<':
        if (peek(1) == '=') return pair(Tok::Le);
        if (peek(1) == '>') return pair(Tok::Ne);
        return single(Tok::Lt);
      case '>':
        if (peek(1) == '=') return pair(Tok::Ge);
        return single(Tok::Gt);
      case '!':
        if (peek(1) == '=') return pair(Tok::Ne);
        return fail(error_here("expected `=` after `!`"));
      case '\'': return quoted(Tok::Str, '\'');
      case '"': return quoted(Tok::Ident, '"');
      case '`': return quoted(Tok::Ident, '`');
      case '[': return quoted(Tok::Ident, ']');
      case '-':
        if (!ascii_digit(static_cast<unsigned char>(peek(1)))) return fail(error_here("expected digits"));
        return number();
      default:
        if (ascii_digit(static_cast<unsigned char>(c))) return number();
        if (ascii_alpha(static_cast<unsigned char>(c)) || c == '_') {
          word();
          return {};
        }
        return unexpected(static_cast<unsigned char>(c));
    }
  }

  char peek(size_t ahead) const { return b_ + ahead < sql_.size() ? sql_[b_ + ahead] : '\0'; }

  QmError error_here(std::string_view msg) const { return parse_error(sql_, c_, msg); }

  Result<void> unexpected(char32_t cp) {
    std::string msg = "unexpected character `";
    append_utf8(msg, cp);
    msg += '`';
    return fail(error_here(msg));
  }

  Token& push(Tok kind) {
    Token& t = out_.emplace_back();
    t.kind = kind;
    t.pos = c_;
    return t;
  }
  Result<void> single(Tok kind) {
    push(kind);
    ++b_;
    ++c_;
    return {};
  }
  Result<void> pair(Tok kind) {
    push(kind);
    b_ += 2;
    c_ += 2;
    return {};
  }

  void word() {
    Token& t = push(Tok::Word);
    const size_t start = b_, n = sql_.size();
    const char* data = sql_.data();
    size_t i = b_, chars = 0;
    while (i < n) {
      auto c = static_cast<unsigned char>(data[i]);
      if (c < 0x80) {
        if (kAsciiClass[c] < kWordStart) break;
        ++i;
      } else {
        size_t at = i;
        char32_t cp = decode_utf8(sql_, at);
        if (!is_word_continue(cp)) break;
        i = at;
      }
      ++chars;
    }
    b_ = i;
    c_ += chars;
    t.raw = sql_.substr(start, i - start);
  }

  // A string literal or quoted identifier; the closing character written twice stands
  // for itself.
  Result<void> quoted(Tok kind, char close) {
    size_t start_char = c_;
    size_t start = ++b_;
    ++c_;
    bool escaped = false;
    while (true) {
      if (b_ >= sql_.size()) {
        return fail(parse_error(sql_, start_char,
                                kind == Tok::Str ? "unterminated string literal" : "unterminated quoted identifier"));
      }
      auto c = static_cast<unsigned char>(sql_[b_]);
      if (c == static_cast<unsigned char>(close)) {
        if (peek(1) == close) {
          escaped = true;
          b_ += 2;
          c_ += 2;
          continue;
        }
        break;
      }
      if (kind == Tok::Ident &&
          (c < 0x20 || c == 0x7F || (c == 0xC2 && b_ + 1 < sql_.size() &&
                                     static_cast<unsigned char>(sql_[b_ + 1]) <= 0x9F)))
        return fail(parse_error(sql_, start_char, "quoted identifiers cannot contain control characters"));
      ++b_;
      c_ += (c & 0xC0) != 0x80;
    }
    std::string_view raw = sql_.substr(start, b_ - start);
    if (kind == Tok::Ident && raw.empty())
      return fail(parse_error(sql_, start_char, "quoted identifiers cannot be empty"));
    Token& t = out_.emplace_back();
    t.kind = kind;
    t.pos = start_char;
    t.raw = raw;
    t.escaped = escaped;
    t.close = close;
    ++b_;  // the closing character
    ++c_;
    return {};
  }

  Result<void> number() {
    size_t start = b_, start_char = c_;
    bool negative = sql_[b_] == '-';
    if (negative) ++b_;
    size_t digits_start = b_;
    while (b_ < sql_.size() && ascii_digit(static_cast<unsigned char>(sql_[b_]))) ++b_;
    std::string_view int_digits = sql_.substr(digits_start, b_ - digits_start);
    if (b_ < sql_.size() && sql_[b_] == '.') {
      size_t frac_start = b_ + 1;
      size_t e = frac_start;
      while (e < sql_.size() && ascii_digit(static_cast<unsigned char>(sql_[e]))) ++e;
      if (e == frac_start) return fail(parse_error(sql_, start_char, "expected digits after `.`"));
      std::string_view frac = sql_.substr(frac_start, e - frac_start);
      b_ = e;
      c_ += b_ - start;
      return decimal(int_digits, frac, negative, start_char);
    }
    c_ += b_ - start;
    // Accumulate as a negative number so the smallest integer fits.
    int64_t v = 0;
    for (char d : int_digits) {
      int64_t digit = d - '0';
      if (v < (std::numeric_limits<int64_t>::min() + digit) / 10)
        return fail(parse_error(sql_, start_char, "invalid integer `" + std::string(sql_.substr(start, b_ - start)) + "`"));
      v = v * 10 - digit;
    }
    if (!negative) {
      if (v == std::numeric_limits<int64_t>::min())
        return fail(parse_error(sql_, start_char, "invalid integer `" + std::string(sql_.substr(start, b_ - start)) + "`"));
      v = -v;
    }
    Token& t = out_.emplace_back();
    t.kind = Tok::Int;
    t.pos = start_char;
    t.number = v;
    return {};
  }

  Result<void> decimal(std::string_view int_digits, std::string_view frac, bool negative, size_t start_char) {
    const u128 max = ~static_cast<u128>(0);
    u128 v = 0;
    bool overflow = false;
    auto mul_add = [&](u128 m, unsigned d) {
      if (v > (max - d) / m) overflow = true;
      else v = v * m + d;
    };
    for (char d : int_digits) mul_add(10, static_cast<unsigned>(d - '0'));
    for (size_t i = 0; i < 6 && !overflow; ++i) mul_add(10, i < frac.size() ? static_cast<unsigned>(frac[i] - '0') : 0);
    const u128 limit = static_cast<u128>(1) << 127;  // magnitude of the smallest payload
    if (overflow || v > limit || (!negative && v == limit))
      return fail(parse_error(sql_, start_char, "decimal literal out of range"));
    Token& t = out_.emplace_back();
    t.kind = Tok::Dec;
    t.pos = start_char;
    t.number = negative ? static_cast<i128>(static_cast<u128>(0) - v) : static_cast<i128>(v);
    return {};
  }

  std::string_view sql_;
  std::vector<Token>& out_;
  size_t b_ = 0;  // byte offset
  size_t c_ = 0;  // character position
  size_t depth_ = 0;
};

}  // namespace

std::string Token::text() const {
  if (!escaped) return std::string(raw);
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    out.push_back(raw[i]);
    if (raw[i] == close) ++i;  // skip the second of a doubled closing character
  }
  return out;
}

bool is_sql_white_space(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}

bool is_word_start(char32_t c) {
  if (c < 0x80) return ascii_alpha(c) || c == '_';
  return unicode_alphabetic(c) || unicode_numeric(c);
}

bool is_word_continue(char32_t c) {
  if (c < 0x80) return ascii_alpha(c) || ascii_digit(c) || c == '_';
  return unicode_alphabetic(c) || unicode_numeric(c);
}

Result<size_t> lex(std::string_view sql, std::vector<Token>& out) {
  out.clear();
  return Lexer(sql, out).run();
}

Result<void> TokenStream::fill(std::vector<Token>& out, size_t limit) {
  Lexer lexer(sql_, out, byte_, character_, depth_);
  if (!checked_) {
    QM_TRY(lexer.check_utf8());
    checked_ = true;
  }
  auto filled = lexer.fill(limit);
  byte_ = lexer.byte();
  character_ = lexer.character();
  depth_ = lexer.depth();
  return filled;
}

}  // namespace qm::sql
