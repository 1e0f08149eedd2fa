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

// The first four digest bytes (little-endian) of BLAKE3-256 over a 4096-byte block with the
// four bytes at [hole, hole + 4) left out, so 4092 bytes are hashed; hole + 4 <= 1024. The
// message's four chunks (three whole, one of 1020 bytes) are compressed side by side, on
// the SIMD path where the CPU has one, instead of block after block.
uint32_t blake3_prefix_u32_of_4k_without(std::span<const uint8_t, 4096> block, size_t hole);
// The same value for each 4096-byte block of `blocks` in turn, into `out` (as many as both
// hold): blocks are hashed side by side, so a run of pages costs a fraction of one at a time.
void blake3_prefix_u32_of_4k_without_many(std::span<const uint8_t> blocks, size_t hole, std::span<uint32_t> out);
// The same for 4096-byte blocks that lie apart, given by address.
void blake3_prefix_u32_of_4k_without_each(std::span<const uint8_t* const> blocks, size_t hole,
                                          std::span<uint32_t> out);

// BLAKE3-256 of each input into out[i] (as many as both hold). Inputs of at most one chunk
// (1024 bytes) are hashed side by side, grouped by length in blocks, on the SIMD path where
// the CPU has one: many small blobs cost a fraction of hashing them one at a time. Longer
// inputs are hashed on their own.
void blake3_each(std::span<const std::span<const uint8_t>> inputs, std::span<Digest> out);

std::string to_hex(std::span<const uint8_t> bytes);
// 64 lower- or upper-case hex digits to a digest.
std::optional<Digest> digest_from_hex(std::string_view hex);

}  // namespace qm
