#include "core/int128.h"

namespace qm {

void append_u128(std::string& out, u128 v) {
  char buf[40];
  int pos = 40;
  // 128-bit division is a library call; the digits below 2^64 take the 64-bit path.
  while (v > UINT64_MAX) {
    buf[--pos] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  }
  uint64_t w = static_cast<uint64_t>(v);
  do {
    buf[--pos] = static_cast<char>('0' + static_cast<int>(w % 10));
    w /= 10;
  } while (w != 0);
  out.append(buf + pos, 40 - pos);
}

void append_i128(std::string& out, i128 v) {
  if (v < 0) out.push_back('-');
  append_u128(out, abs_u128(v));
}

std::string i128_to_string(i128 v) {
  std::string s;
  append_i128(s, v);
  return s;
}

std::optional<i128> parse_i128(std::string_view text) {
  bool neg = false;
  if (!text.empty() && text[0] == '-') {
    neg = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  const u128 limit = neg ? static_cast<u128>(kI128Max) + 1 : static_cast<u128>(kI128Max);
  u128 acc = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    unsigned d = static_cast<unsigned>(c - '0');
    if (acc > (limit - d) / 10) return std::nullopt;
    acc = acc * 10 + d;
  }
  if (neg) return static_cast<i128>(static_cast<u128>(0) - acc);
  return static_cast<i128>(acc);
}

}  // namespace qm
