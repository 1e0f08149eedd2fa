// The IEEE-754 total order of doubles as a signed integer key, for rankings that must be
// total and reproducible (scores and distances).
#pragma once

#include <cstdint>
#include <cstring>

namespace qm {

inline int64_t total_order_key(double d) {
  int64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b ^ static_cast<int64_t>(static_cast<uint64_t>(b >> 63) >> 1);
}

}  // namespace qm
