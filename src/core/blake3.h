// BLAKE3-256: one-shot and incremental hashing over the official C implementation, with
// lower-case hex. Page checksums, blob names, checked files and change detection use it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qm {

using Digest = std::array<uint8_t, 32>;

Digest blake3(std::span<const uint8_t> data);
Digest blake3(std::string_view data);

class Blake3Hasher {
 public:
  Blake3Hasher();
  void update(std::span<const uint8_t> data);
  void update(std::string_view data);
  Digest finalize() const;

 private:
  alignas(16) unsigned char state_[1912];  // blake3_hasher, kept opaque to the callers
};

std::string to_hex(std::span<const uint8_t> bytes);
// 64 lower- or upper-case hex digits to a digest.
std::optional<Digest> digest_from_hex(std::string_view hex);

}  // namespace qm
