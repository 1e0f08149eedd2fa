#include "search/tokenizer.h"

#include <array>

#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace qm::search {
namespace {

constexpr bool ascii_alnum(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

// Per byte below 0x80: its lower-case form when it is a letter or digit, else 0.
constexpr auto kAsciiToken = [] {
  std::array<char, 128> t{};
  for (unsigned c = 0; c < 128; ++c)
    if (ascii_alnum(static_cast<unsigned char>(c))) t[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return t;
}();

bool unicode_alnum(UChar32 c) {
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  int8_t t = u_charType(c);
  return t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER;
}

// Decodes one scalar at s[i], setting len; malformed input yields -1 over one byte.
UChar32 decode(std::string_view s, size_t i, size_t& len) {
  auto c = static_cast<unsigned char>(s[i]);
  len = 1;
  size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || n > s.size() - i) return -1;
  UChar32 cp = n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < n; ++k) {
    auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return -1;
    cp = cp << 6 | (cc & 0x3F);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF are not characters.
  static constexpr UChar32 kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  len = n;
  return cp;
}

void append_lower(std::string& arena, std::string_view piece, bool ascii) {
  if (ascii) {
    const size_t at = arena.size();
    arena.resize(at + piece.size());
    char* out = arena.data() + at;
    for (char c : piece) *out++ = kAsciiToken[static_cast<unsigned char>(c)];
    return;
  }
  // The root locale gives the language-neutral full mapping, final sigma included.
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())));
  u.toLower(icu::Locale::getRoot());
  u.toUTF8String(arena);
}

}  // namespace

void tokenize_into(std::string_view text, std::string& arena, std::vector<TokenRange>& ranges) {
  arena.clear();
  ranges.clear();
  size_t i = 0;
  while (i < text.size()) {
    size_t start = i;
    bool ascii = true;
    while (i < text.size()) {
      auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x80) {
        if (!kAsciiToken[c]) break;
        ++i;
        continue;
      }
      size_t len;
      UChar32 cp = decode(text, i, len);
      if (cp < 0 || !unicode_alnum(cp)) break;
      ascii = false;
      i += len;
    }
    size_t piece_len = i - start;
    if (piece_len > 0 && piece_len <= kMaxTokenBytes) {
      size_t begin = arena.size();
      append_lower(arena, text.substr(start, piece_len), ascii);
      ranges.push_back({begin, arena.size()});
    }
    if (i < text.size()) {
      // Skip the separator that ended the piece.
      size_t len = 1;
      if (static_cast<unsigned char>(text[i]) >= 0x80) decode(text, i, len);
      i += len;
    }
  }
}

std::vector<std::string> tokens(std::string_view text) {
  std::string arena;
  std::vector<TokenRange> ranges;
  tokenize_into(text, arena, ranges);
  std::vector<std::string> out;
  out.reserve(ranges.size());
  for (auto r : ranges) out.emplace_back(arena.substr(r.begin, r.end - r.begin));
  return out;
}

}  // namespace qm::search
