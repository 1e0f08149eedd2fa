// UTF-8 validation (strict: no overlongs, no surrogates, nothing above U+10FFFF) and
// decoding of one scalar value. ASCII runs take a fast path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qm {

bool is_valid_utf8(std::string_view s);

// Byte length of the sequence a lead byte starts: 1 for ASCII, 2 to 4 for a multi-byte
// lead, 0 for a continuation byte or a byte that never leads.
constexpr size_t utf8_sequence_length(unsigned char lead) {
  return lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
}

// Decodes the scalar value at s[pos] (which must be valid UTF-8), advancing pos.
char32_t decode_utf8(std::string_view s, size_t& pos);
// Appends the UTF-8 encoding of a scalar value.
void append_utf8(std::string& out, char32_t cp);
// Number of scalar values in valid UTF-8.
size_t utf8_length(std::string_view s);

}  // namespace qm
