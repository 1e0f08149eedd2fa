// 128-bit integer helpers: decimal text in and out without floating point.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

using i128 = __int128;
using u128 = unsigned __int128;

inline constexpr i128 kI128Max = static_cast<i128>(~static_cast<u128>(0) >> 1);
inline constexpr i128 kI128Min = -kI128Max - 1;

// Appends the decimal digits of an unsigned 128-bit number.
void append_u128(std::string& out, u128 v);
// Appends a signed 128-bit number in decimal, with "-" for negatives.
void append_i128(std::string& out, i128 v);
std::string i128_to_string(i128 v);

// Parses an optional "-" followed by decimal digits; nullopt when malformed or out of range.
std::optional<i128> parse_i128(std::string_view text);

inline u128 abs_u128(i128 v) { return v < 0 ? static_cast<u128>(0) - static_cast<u128>(v) : static_cast<u128>(v); }

}  // namespace qm
