// Exact conversion of decimal number text ("1.5", "-2.5e-6", "1E20") to a count of
// millionths, rounding half away from zero past the sixth fraction digit. No binary
// floating point is involved, so every digit the text gives is kept.
#pragma once

#include <optional>
#include <string_view>

#include "core/int128.h"

namespace qm {

enum class DecimalParse { Ok, Malformed, OutOfRange };

// On Ok, *out holds the millionths. `bound` is an exclusive magnitude bound on the
// rounded result.
DecimalParse parse_decimal_millionths(std::string_view text, u128 bound, i128* out);

// 1.7e38, the bound JSON parameters use: just below the largest 128-bit payload.
inline constexpr u128 kJsonDecimalBound = static_cast<u128>(17) * static_cast<u128>(10000000000000000000ull) *
                                          static_cast<u128>(1000000000000000000ull);

}  // namespace qm
