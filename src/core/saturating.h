// Saturating unsigned arithmetic for counters and charges that must never wrap back under
// a limit: every result is capped at the largest u64.
#pragma once

#include <cstdint>
#include <limits>

namespace qm {

inline constexpr uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}
inline constexpr uint64_t saturating_inc(uint64_t a) { return saturating_add(a, 1); }
inline constexpr uint64_t saturating_mul(uint64_t a, uint64_t b) {
  return b != 0 && a > std::numeric_limits<uint64_t>::max() / b ? std::numeric_limits<uint64_t>::max() : a * b;
}

}  // namespace qm
