// Envelope bytes opened with a fixed raw key. A fuzzer cannot forge a tag, so the first byte
// picks the road: even, the rest is opened as an envelope (header, size and authentication
// checks); odd, the rest is sealed as if it were an image and opened again, so mutated images
// reach the import behind a valid tag. Whatever opens must bake again.
#include <array>
#include <cstdint>
#include <span>

#include "encryption/sealed_database.h"

namespace {

const std::array<uint8_t, 32> kKey = {0x51, 0x4d, 0x56, 0x61, 0x75, 0x6c, 0x74, 0x2d, 0x66, 0x75, 0x7a,
                                      0x7a, 0x2d, 0x6b, 0x65, 0x79, 1, 2, 3, 4, 5, 6, 7, 8,
                                      9, 10, 11, 12, 13, 14, 15, 16};
const std::array<uint8_t, 16> kSalt{};
const std::array<uint8_t, 24> kNonce{};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qm::encryption;
  if (size == 0) return 0;
  static const Secret secret = *Secret::raw(kKey);
  std::span<const uint8_t> rest(data + 1, size - 1);
  std::vector<uint8_t> envelope;
  if (data[0] & 1) {
    auto sealed = seal_image_with(rest, 0, kSalt, kNonce, kKey);
    if (!sealed) return 0;
    envelope = std::move(*sealed);
    rest = envelope;
  }
  (void)inspect(rest);
  auto db = open_database(rest, secret);
  if (db) (void)db->bake_to_bytes();
  return 0;
}
