#include "core/decimal.h"

#include <string>

namespace qm {

DecimalParse parse_decimal_millionths(std::string_view text, u128 bound, i128* out) {
  size_t i = 0;
  bool neg = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) neg = text[i++] == '-';
  std::string digits;  // significant digits, leading zeros dropped
  long long exp10 = 0;  // value = digits x 10^exp10
  bool any_digit = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    any_digit = true;
    if (digits.empty() && text[i] == '0') continue;
    digits.push_back(text[i]);
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      any_digit = true;
      --exp10;
      if (digits.empty() && text[i] == '0') continue;
      digits.push_back(text[i]);
    }
  }
  if (!any_digit) return DecimalParse::Malformed;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool eneg = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) eneg = text[i++] == '-';
    if (i >= text.size()) return DecimalParse::Malformed;
    long long e = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
      if (e < 100000000) e = e * 10 + (text[i] - '0');  // saturate: such exponents are out of range anyway
    exp10 += eneg ? -e : e;
  }
  if (i != text.size()) return DecimalParse::Malformed;
  if (digits.empty()) {
    *out = 0;
    return DecimalParse::Ok;
  }
  long long shift = exp10 + 6;  // millionths = digits x 10^shift
  long long whole_len = static_cast<long long>(digits.size()) + shift;
  if (whole_len > 40) return DecimalParse::OutOfRange;
  u128 acc = 0;
  bool round_up = false;
  if (whole_len > 0) {
    for (long long k = 0; k < whole_len; ++k) {
      unsigned d = k < static_cast<long long>(digits.size()) ? static_cast<unsigned>(digits[k] - '0') : 0;
      if (acc > (~static_cast<u128>(0) - d) / 10) return DecimalParse::OutOfRange;
      acc = acc * 10 + d;
    }
    if (whole_len < static_cast<long long>(digits.size())) round_up = digits[whole_len] >= '5';
  } else if (whole_len == 0) {
    round_up = digits[0] >= '5';
  }
  if (round_up) ++acc;
  if (acc >= bound) return DecimalParse::OutOfRange;
  *out = neg ? -static_cast<i128>(acc) : static_cast<i128>(acc);
  return DecimalParse::Ok;
}

}  // namespace qm
