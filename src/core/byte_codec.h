// Encoder and Decoder: the bounded little-endian writer and reader of every persisted
// retrieval structure (envelope, full-text body, vector body), and `corrupt`, the one way a
// fault of such data is reported. An Encoder never holds more than 32 MiB and a failed write
// leaves it unchanged; a Decoder never reads outside its slice, and a failed read stops the
// decode with its Corruption text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"

namespace qm::persistent {

inline constexpr size_t kMaxEncodedBytes = 33554432;  // 32 MiB

// Corruption "persistent retrieval: <detail>".
QmError corrupt(std::string_view detail);

class Encoder {
 public:
  Result<void> put(std::string_view bytes);
  Result<void> put(std::span<const uint8_t> bytes) {
    return put(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  Result<void> u8(uint8_t v) { return fixed(v); }
  Result<void> u16(uint16_t v) { return fixed(v); }
  Result<void> u32(uint32_t v) { return fixed(v); }
  Result<void> u64(uint64_t v) { return fixed(v); }
  Result<void> i64(int64_t v) { return fixed(v); }
  Result<void> f32(float v) { return fixed(v); }
  // n as a u32; above 4294967295 it is refused as "encoded count overflow".
  Result<void> count(uint64_t n);

  size_t size() const { return buf_.size(); }
  const std::string& bytes() const { return buf_; }
  std::string take() { return std::move(buf_); }
  void reserve(size_t n) { buf_.reserve(n < kMaxEncodedBytes ? n : kMaxEncodedBytes); }
  // Overwrites the u32 written at `at` (a length known only once what follows is written).
  void patch_u32(size_t at, uint32_t v) { std::memcpy(buf_.data() + at, &v, sizeof v); }

 private:
  template <class T>
  Result<void> fixed(T v) {
    return put(std::string_view(reinterpret_cast<const char*>(&v), sizeof v));
  }
  std::string buf_;
};

class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> data, size_t position = 0) : data_(data), pos_(position) {}
  explicit Decoder(std::string_view data) : Decoder(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size())) {}

  Result<uint8_t> u8() { return fixed<uint8_t>(); }
  Result<uint16_t> u16() { return fixed<uint16_t>(); }
  Result<uint32_t> u32() { return fixed<uint32_t>(); }
  Result<uint64_t> u64() { return fixed<uint64_t>(); }
  Result<int64_t> i64() { return fixed<int64_t>(); }
  Result<float> f32() { return fixed<float>(); }
  Result<std::span<const uint8_t>> take(size_t n);
  // A u32 that must not exceed limit ("encoded count exceeds limit").
  Result<uint32_t> count(uint32_t limit);
  // Unread bytes are "trailing index bytes".
  Result<void> finish() const;

  size_t position() const { return pos_; }
  size_t remaining() const { return pos_ <= data_.size() ? data_.size() - pos_ : 0; }

 private:
  template <class T>
  Result<T> fixed() {
    QM_ASSIGN(auto s, take(sizeof(T)));
    T v;
    std::memcpy(&v, s.data(), sizeof v);
    return v;
  }
  std::span<const uint8_t> data_;
  size_t pos_;
};

}  // namespace qm::persistent
