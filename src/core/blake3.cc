#include "core/blake3.h"

#include <blake3.h>

#include <cstring>

namespace qm {

static_assert(sizeof(blake3_hasher) <= 1912, "Blake3Hasher storage too small");

Digest blake3(std::span<const uint8_t> data) {
  blake3_hasher h;
  blake3_hasher_init(&h);
  blake3_hasher_update(&h, data.data(), data.size());
  Digest d;
  blake3_hasher_finalize(&h, d.data(), d.size());
  return d;
}

Digest blake3(std::string_view data) {
  return blake3(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
}

Blake3Hasher::Blake3Hasher() { blake3_hasher_init(reinterpret_cast<blake3_hasher*>(state_)); }

void Blake3Hasher::update(std::span<const uint8_t> data) {
  blake3_hasher_update(reinterpret_cast<blake3_hasher*>(state_), data.data(), data.size());
}

void Blake3Hasher::update(std::string_view data) {
  blake3_hasher_update(reinterpret_cast<blake3_hasher*>(state_), data.data(), data.size());
}

Digest Blake3Hasher::finalize() const {
  Digest d;
  blake3_hasher_finalize(reinterpret_cast<const blake3_hasher*>(state_), d.data(), d.size());
  return d;
}

std::string to_hex(std::span<const uint8_t> bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.resize(bytes.size() * 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return out;
}

std::optional<Digest> digest_from_hex(std::string_view hex) {
  if (hex.size() != 64) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Digest d;
  for (size_t i = 0; i < 32; ++i) {
    int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    d[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return d;
}

}  // namespace qm
