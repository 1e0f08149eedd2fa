#include "core/byte_codec.h"

#include <cstring>

namespace qm::persistent {

QmError corrupt(std::string_view detail) {
  return QmError::corruption("persistent retrieval: " + std::string(detail));
}

Result<void> Encoder::put(std::string_view bytes) {
  if (bytes.size() > kMaxEncodedBytes - buf_.size())
    return fail(QmError::resource_limit("persistent retrieval encoding exceeds 32 MiB"));
  buf_.append(bytes);
  return {};
}

Result<void> Encoder::count(uint64_t n) {
  if (n > UINT32_MAX) return fail(corrupt("encoded count overflow"));
  return u32(static_cast<uint32_t>(n));
}

Result<std::span<const uint8_t>> Decoder::take(size_t n) {
  if (pos_ > data_.size() || n > data_.size() - pos_) return fail(corrupt("truncated or overflowing index extent"));
  auto s = data_.subspan(pos_, n);
  pos_ += n;
  return s;
}

Result<uint32_t> Decoder::count(uint32_t limit) {
  QM_ASSIGN(uint32_t n, u32());
  if (n > limit) return fail(corrupt("encoded count exceeds limit"));
  return n;
}

Result<void> Decoder::finish() const {
  if (remaining() != 0) return fail(corrupt("trailing index bytes"));
  return {};
}

}  // namespace qm::persistent
