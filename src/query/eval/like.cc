#include "query/eval/like.h"

#include "core/utf8.h"

#include <cstring>

namespace qm::db {
namespace {

// Byte length of the character starting at s[i]. A stray continuation or invalid lead
// byte counts as a character of its own, so malformed text can never run past the end.
inline size_t char_len(std::string_view s, size_t i) {
  auto c = static_cast<unsigned char>(s[i]);
  const size_t len = utf8_sequence_length(c);
  if (len == 0 || len > s.size() - i) return 1;
  for (size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  }
  return len;
}

}  // namespace

bool like_match(std::string_view text, std::string_view pattern) {
  size_t t = 0, p = 0;
  bool have_star = false;
  size_t star_p = 0, star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      have_star = true;
      star_p = p;
      star_t = t;
      ++p;
      continue;
    }
    if (p < pattern.size()) {
      size_t tl = char_len(text, t);
      if (pattern[p] == '_') {
        t += tl;
        ++p;
        continue;
      }
      size_t pl = char_len(pattern, p);
      if (pl == tl && std::memcmp(text.data() + t, pattern.data() + p, tl) == 0) {
        t += tl;
        p += pl;
        continue;
      }
    }
    if (!have_star) return false;
    star_t += char_len(text, star_t);
    t = star_t;
    p = star_p + 1;
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

}  // namespace qm::db
