// Text primitives of the dump scanners; see dump_text.h.
#include "migrate/dump_text.h"

#include <unicode/uchar.h>

#include <cstring>

#include "core/utf8.h"

namespace qm::migrate {
namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool unicode_numeric(char32_t c) {
  int8_t t = u_charType(static_cast<UChar32>(c));
  return t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER;
}

bool unicode_alphabetic(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC); }

}  // namespace

Char char_at(std::string_view s, size_t pos) {
  auto c = static_cast<unsigned char>(s[pos]);
  if (c < 0x80) return {c, 1};
  size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || s.size() - pos < len || !is_valid_utf8(s.substr(pos, len))) return {0xFFFD, 1};
  size_t at = pos;
  return {decode_utf8(s, at), len};
}

bool is_white_space(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}

bool is_word_start(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  return c != 0xFFFD && unicode_alphabetic(c);
}

bool is_word_continue(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  return c != 0xFFFD && (unicode_alphabetic(c) || unicode_numeric(c));
}

size_t skip_quoted(std::string_view s, size_t open) {
  const char close = quote_closer(s[open]);
  size_t i = open + 1;
  while (i < s.size()) {
    // Closing characters are ASCII, which never occurs inside a multi-byte sequence.
    const void* hit = std::memchr(s.data() + i, close, s.size() - i);
    if (!hit) return std::string_view::npos;
    i = static_cast<size_t>(static_cast<const char*>(hit) - s.data());
    if (i + 1 < s.size() && s[i + 1] == close) {
      i += 2;
      continue;
    }
    return i + 1;
  }
  return std::string_view::npos;
}

std::string_view trim_start(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    Char ch = char_at(s, i);
    if (!is_white_space(ch.cp)) break;
    i += ch.len;
  }
  return s.substr(i);
}

std::string_view trim(std::string_view s) {
  s = trim_start(s);
  // Walk back over whole characters: continuation bytes belong to the character before.
  size_t end = s.size();
  while (end > 0) {
    size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4) --start;
    Char ch = char_at(s, start);
    if (start + ch.len != end || !is_white_space(ch.cp)) break;
    end = start;
  }
  return s.substr(0, end);
}

std::optional<std::string_view> strip_keyword(std::string_view text, std::string_view keyword) {
  text = trim_start(text);
  if (text.size() < keyword.size()) return std::nullopt;
  for (size_t i = 0; i < keyword.size(); ++i)
    if (ascii_lower(text[i]) != ascii_lower(keyword[i])) return std::nullopt;
  std::string_view rest = text.substr(keyword.size());
  if (!rest.empty() && is_word_continue(char_at(rest, 0).cp)) return std::nullopt;
  return rest;
}

bool starts_create_trigger(std::string_view text) {
  auto rest = strip_keyword(text, "CREATE");
  if (!rest) return false;
  if (auto r = strip_keyword(*rest, "TEMP")) {
    rest = r;
  } else if (auto r2 = strip_keyword(*rest, "TEMPORARY")) {
    rest = r2;
  }
  return strip_keyword(*rest, "TRIGGER").has_value();
}

std::optional<Identifier> first_identifier(std::string_view text) {
  const size_t start = text.size() - trim_start(text).size();
  if (start == text.size()) return std::nullopt;
  if (quote_closer(text[start])) {
    const size_t end = skip_quoted(text, start);
    if (end == std::string_view::npos || end == start + 2) return std::nullopt;
    return Identifier{text.substr(start, end - start), true, end};
  }
  Char first = char_at(text, start);
  if (!is_word_start(first.cp)) return std::nullopt;
  size_t end = start + first.len;
  while (end < text.size()) {
    Char ch = char_at(text, end);
    if (!is_word_continue(ch.cp)) break;
    end += ch.len;
  }
  return Identifier{text.substr(start, end - start), false, end};
}

std::string preview(std::string_view statement) {
  constexpr size_t kMaxChars = 60;
  std::string out;
  size_t chars = 0;
  bool gap = false;  // white space seen since the last character written
  for (size_t i = 0; i < statement.size();) {
    Char ch = char_at(statement, i);
    if (is_white_space(ch.cp)) {
      gap = !out.empty();
      i += ch.len;
      continue;
    }
    if (chars + (gap ? 1 : 0) >= kMaxChars) {
      // One character more than fits: the whole text is longer than the limit.
      if (gap && chars < kMaxChars) out += ' ';
      out += "...";
      return out;
    }
    if (gap) {
      out += ' ';
      ++chars;
      gap = false;
    }
    if (ch.cp == 0xFFFD && ch.len == 1)
      append_utf8(out, ch.cp);
    else
      out.append(statement.substr(i, ch.len));
    ++chars;
    i += ch.len;
  }
  return out;
}

}  // namespace qm::migrate
