// Little-endian byte access for every binary format of the library. ByteReader is the one
// bounds-checked cursor decoders are written on: a read past the end yields nullopt and
// the decoder turns that into its own Corruption text, so a hostile length fails here
// rather than reading out of bounds.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qm {

inline uint16_t load_u16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline uint32_t load_u32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint64_t load_u64(const uint8_t* p) { uint64_t v; std::memcpy(&v, p, 8); return v; }
inline void store_u16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "formats are little-endian; add byte swaps for this CPU");

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}
  ByteReader(const void* p, size_t n) : data_(static_cast<const uint8_t*>(p), n) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  size_t size() const { return data_.size(); }
  bool at_end() const { return pos_ == data_.size(); }

  std::optional<uint8_t> u8() {
    if (remaining() < 1) return std::nullopt;
    return data_[pos_++];
  }
  std::optional<uint16_t> u16() { return fixed<uint16_t>(); }
  std::optional<uint32_t> u32() { return fixed<uint32_t>(); }
  std::optional<uint64_t> u64() { return fixed<uint64_t>(); }
  std::optional<int64_t> i64() { return fixed<int64_t>(); }
  // n bytes as a view into the input.
  std::optional<std::span<const uint8_t>> bytes(size_t n) {
    if (remaining() < n) return std::nullopt;
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  bool skip(size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }

 private:
  template <class T>
  std::optional<T> fixed() {
    if (remaining() < sizeof(T)) return std::nullopt;
    T v;
    std::memcpy(&v, data_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return v;
  }
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// Appends little-endian numbers and byte runs to a growing buffer.
class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u16(uint16_t v) { append(&v, 2); }
  void u32(uint32_t v) { append(&v, 4); }
  void u64(uint64_t v) { append(&v, 8); }
  void i64(int64_t v) { append(&v, 8); }
  void bytes(std::span<const uint8_t> b) { append(b.data(), b.size()); }
  void bytes(std::string_view b) { append(b.data(), b.size()); }
  size_t size() const { return out_.size(); }

 private:
  void append(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }
  std::string& out_;
};

inline std::span<const uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
inline std::string_view as_chars(std::span<const uint8_t> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace qm
