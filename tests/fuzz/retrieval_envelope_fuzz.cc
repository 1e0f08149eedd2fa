// The stored envelope of a retrieval index: hostile bytes never crash or allocate beyond the
// limits, and whatever decodes is canonical: encoding it again gives the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "retrieval/index_envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  auto env = qm::persistent::decode_envelope(bytes);
  if (!env) return 0;
  auto again = qm::persistent::encode_envelope(env->definition, env->generation, env->source_digest, env->data);
  if (!again || again->size() != size || std::memcmp(again->data(), data, size) != 0) std::abort();
  return 0;
}
