#include "core/blake3.h"

#include <blake3.h>

#include <algorithm>
#include <cstring>

#include "core/bytes.h"

// The library's internal entry points (compiled into this library with it): several chunks
// at once, and one compression.
extern "C" {
void blake3_hash_many(const uint8_t* const* inputs, size_t num_inputs, size_t blocks, const uint32_t key[8],
                      uint64_t counter, bool increment_counter, uint8_t flags, uint8_t flags_start, uint8_t flags_end,
                      uint8_t* out);
void blake3_compress_in_place(uint32_t cv[8], const uint8_t block[64], uint8_t block_len, uint64_t counter,
                              uint8_t flags);
}

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

namespace {

constexpr uint32_t kIv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                             0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
constexpr uint8_t kChunkStart = 1, kChunkEnd = 2, kParent = 4, kRoot = 8;
constexpr size_t kChunk = 1024, kBlock = 64;

// A parent node over two chaining values; `flags` adds ROOT for the top one.
void parent_cv(const uint32_t left[8], const uint32_t right[8], uint8_t flags, uint32_t out[8]) {
  uint8_t block[kBlock];
  for (int w = 0; w < 8; ++w) {
    store_u32(block + 4 * w, left[w]);
    store_u32(block + 32 + 4 * w, right[w]);
  }
  std::memcpy(out, kIv, sizeof kIv);
  blake3_compress_in_place(out, block, kBlock, 0, static_cast<uint8_t>(kParent | flags));
}

}  // namespace

uint32_t blake3_prefix_u32_of_4k_without(std::span<const uint8_t, 4096> block, size_t hole) {
  // Message: block[0, hole) ++ block[hole + 4, 4096), 4092 bytes in four chunks: the first
  // gathered around the hole, the others read in place (the last one 1020 bytes long).
  alignas(64) uint8_t first[kChunk];
  std::memcpy(first, block.data(), hole);
  std::memcpy(first + hole, block.data() + hole + 4, kChunk - hole);
  const uint8_t* chunks[4] = {first, block.data() + kChunk + 4, block.data() + 2 * kChunk + 4,
                              block.data() + 3 * kChunk + 4};
  // The first 15 blocks of all four chunks at once; each chunk's last block on its own.
  uint8_t cv_bytes[4 * 32];
  blake3_hash_many(chunks, 4, 15, kIv, 0, true, 0, kChunkStart, 0, cv_bytes);
  uint32_t cv[4][8];
  for (int c = 0; c < 4; ++c)
    for (int w = 0; w < 8; ++w) cv[c][w] = load_u32(cv_bytes + 32 * c + 4 * w);
  for (int c = 0; c < 3; ++c) blake3_compress_in_place(cv[c], chunks[c] + 15 * kBlock, kBlock, c, kChunkEnd);
  constexpr size_t tail = kChunk - 4 - 15 * kBlock;  // 60 bytes
  uint8_t last[kBlock] = {};
  std::memcpy(last, chunks[3] + 15 * kBlock, tail);
  blake3_compress_in_place(cv[3], last, tail, 3, kChunkEnd);
  uint32_t left[8], right[8], root[8];
  parent_cv(cv[0], cv[1], 0, left);
  parent_cv(cv[2], cv[3], 0, right);
  parent_cv(left, right, kRoot, root);
  return root[0];
}

namespace {

// Up to kGroup blocks, given by address, hashed side by side.
constexpr size_t kGroup = 16;

void prefix_u32_of_group(const uint8_t* const* blocks, size_t m, size_t hole, uint32_t* out) {
  // The same message per block as above; chunk c of up to kGroup blocks goes through one
  // hash_many call, so the SIMD path fills all its lanes rather than four.
  alignas(64) uint8_t firsts[kGroup][kChunk];
  const uint8_t* inputs[kGroup];
  uint8_t cv_bytes[4][kGroup * 32];
  for (size_t i = 0; i < m; ++i) {
    std::memcpy(firsts[i], blocks[i], hole);
    std::memcpy(firsts[i] + hole, blocks[i] + hole + 4, kChunk - hole);
    inputs[i] = firsts[i];
  }
  blake3_hash_many(inputs, m, 16, kIv, 0, false, 0, kChunkStart, kChunkEnd, cv_bytes[0]);
  for (size_t c = 1; c < 4; ++c) {
    for (size_t i = 0; i < m; ++i) inputs[i] = blocks[i] + c * kChunk + 4;
    // The last chunk holds 1020 bytes: its 15 whole blocks here, its tail below.
    blake3_hash_many(inputs, m, c < 3 ? 16 : 15, kIv, c, false, 0, kChunkStart, c < 3 ? kChunkEnd : 0,
                     cv_bytes[c]);
  }
  // Each block's two parents side by side: (chunk 0 | chunk 1), (chunk 2 | chunk 3), with
  // the last chunk's 60-byte tail compressed on its own first.
  constexpr size_t tail = kChunk - 4 - 15 * kBlock;  // 60 bytes
  alignas(64) uint8_t parents[2 * kGroup][kBlock];
  for (size_t i = 0; i < m; ++i) {
    uint32_t cv3[8];
    for (int w = 0; w < 8; ++w) cv3[w] = load_u32(cv_bytes[3] + 32 * i + 4 * w);
    uint8_t last[kBlock] = {};
    std::memcpy(last, inputs[i] + 15 * kBlock, tail);
    blake3_compress_in_place(cv3, last, tail, 3, kChunkEnd);
    std::memcpy(parents[2 * i], cv_bytes[0] + 32 * i, 32);
    std::memcpy(parents[2 * i] + 32, cv_bytes[1] + 32 * i, 32);
    std::memcpy(parents[2 * i + 1], cv_bytes[2] + 32 * i, 32);
    for (int w = 0; w < 8; ++w) store_u32(parents[2 * i + 1] + 32 + 4 * w, cv3[w]);
  }
  const uint8_t* parent_inputs[2 * kGroup];
  for (size_t j = 0; j < 2 * m; ++j) parent_inputs[j] = parents[j];
  alignas(64) uint8_t halves[2 * kGroup * 32];  // block i's left and right values: its root's input
  blake3_hash_many(parent_inputs, 2 * m, 1, kIv, 0, false, kParent, 0, 0, halves);
  for (size_t i = 0; i < m; ++i) parent_inputs[i] = halves + 64 * i;
  uint8_t roots[kGroup * 32];
  blake3_hash_many(parent_inputs, m, 1, kIv, 0, false, kParent | kRoot, 0, 0, roots);
  for (size_t i = 0; i < m; ++i) out[i] = load_u32(roots + 32 * i);
}

}  // namespace

void blake3_prefix_u32_of_4k_without_many(std::span<const uint8_t> blocks, size_t hole, std::span<uint32_t> out) {
  const size_t n = std::min(blocks.size() / 4096, out.size());
  const uint8_t* group[kGroup];
  for (size_t g = 0; g < n; g += kGroup) {
    const size_t m = std::min(kGroup, n - g);
    for (size_t i = 0; i < m; ++i) group[i] = blocks.data() + (g + i) * 4096;
    prefix_u32_of_group(group, m, hole, out.data() + g);
  }
}

void blake3_prefix_u32_of_4k_without_each(std::span<const uint8_t* const> blocks, size_t hole,
                                          std::span<uint32_t> out) {
  const size_t n = std::min(blocks.size(), out.size());
  for (size_t g = 0; g < n; g += kGroup) prefix_u32_of_group(blocks.data() + g, std::min(kGroup, n - g), hole, out.data() + g);
}

namespace {

// One chunk's inputs with the same number of whole blocks before their last one: those blocks
// side by side, then each last block (1 to 64 bytes, or none for an empty input) with the
// chunk-end and root flags, whose chaining value is the digest.
void hash_single_chunks(std::span<const std::span<const uint8_t>> inputs, const size_t* members, size_t m,
                        size_t blocks, std::span<Digest> out) {
  const uint8_t* starts[kGroup];
  uint8_t cv_bytes[kGroup * 32];
  for (size_t i = 0; i < m; ++i) starts[i] = inputs[members[i]].data();
  if (blocks > 0) blake3_hash_many(starts, m, blocks, kIv, 0, false, 0, kChunkStart, 0, cv_bytes);
  for (size_t i = 0; i < m; ++i) {
    const std::span<const uint8_t> in = inputs[members[i]];
    uint32_t cv[8];
    if (blocks > 0) {
      for (int w = 0; w < 8; ++w) cv[w] = load_u32(cv_bytes + 32 * i + 4 * w);
    } else {
      std::memcpy(cv, kIv, sizeof kIv);
    }
    const size_t tail = in.size() - blocks * kBlock;
    uint8_t last[kBlock] = {};
    if (tail > 0) std::memcpy(last, in.data() + blocks * kBlock, tail);
    const uint8_t flags = static_cast<uint8_t>(kChunkEnd | kRoot | (blocks == 0 ? kChunkStart : 0));
    blake3_compress_in_place(cv, last, static_cast<uint8_t>(tail), 0, flags);
    for (int w = 0; w < 8; ++w) store_u32(out[members[i]].data() + 4 * w, cv[w]);
  }
}

}  // namespace

void blake3_each(std::span<const std::span<const uint8_t>> inputs, std::span<Digest> out) {
  const size_t n = std::min(inputs.size(), out.size());
  // Pending inputs per count of whole blocks before the last (0 to 15).
  constexpr size_t kCounts = kChunk / kBlock;
  size_t pending[kCounts][kGroup];
  size_t filled[kCounts] = {};
  for (size_t i = 0; i < n; ++i) {
    const size_t len = inputs[i].size();
    if (len > kChunk) {
      out[i] = blake3(inputs[i]);
      continue;
    }
    const size_t blocks = len == 0 ? 0 : (len - 1) / kBlock;
    pending[blocks][filled[blocks]++] = i;
    if (filled[blocks] == kGroup) {
      hash_single_chunks(inputs, pending[blocks], kGroup, blocks, out);
      filled[blocks] = 0;
    }
  }
  for (size_t b = 0; b < kCounts; ++b)
    if (filled[b] > 0) hash_single_chunks(inputs, pending[b], filled[b], b, out);
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

namespace {

// The value of each hex digit, 0xFF for any other byte: an import reads one digest per blob.
constexpr std::array<uint8_t, 256> kNibble = [] {
  std::array<uint8_t, 256> t{};
  t.fill(0xFF);
  for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    t['a' + c] = static_cast<uint8_t>(10 + c);
    t['A' + c] = static_cast<uint8_t>(10 + c);
  }
  return t;
}();

}  // namespace

std::optional<Digest> digest_from_hex(std::string_view hex) {
  if (hex.size() != 64) return std::nullopt;
  Digest d;
  uint8_t bad = 0;
  for (size_t i = 0; i < 32; ++i) {
    const uint8_t hi = kNibble[static_cast<uint8_t>(hex[2 * i])];
    const uint8_t lo = kNibble[static_cast<uint8_t>(hex[2 * i + 1])];
    bad |= static_cast<uint8_t>((hi | lo) & 0xF0);
    d[i] = static_cast<uint8_t>(hi << 4 | (lo & 15));
  }
  if (bad) return std::nullopt;
  return d;
}

}  // namespace qm
