// The "QMRIDX" envelope of one persisted retrieval index:
//   0  8  magic "QMRIDX\0\0"          20      4  u32 D (at most 8192)
//   8  2  u16 version 1               24      D  canonical definition JSON
//  10  1  u8 kind (1 text, 2 vector)  24+D   32  source digest
//  11  1  u8 reserved 0               56+D    4  u32 B (at most 32 MiB)
//  12  8  u64 generation              60+D    B  body (IndexData)
//                                     60+D+B 32  BLAKE3-256 of everything before
// Total 92 + D + B, at most 32 MiB. The trailer is checked before anything else is read.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/blake3.h"
#include "core/error.h"
#include "retrieval/index_data.h"

namespace qm::persistent {

inline constexpr size_t kEnvelopeOverhead = 92;

Result<std::string> encode_envelope(const RetrievalIndexDefinition& definition, uint64_t generation,
                                    const Digest& source_digest, const IndexData& data);

// The same bytes written in one pass, with the BLAKE3 of the whole envelope (its name in a
// blob store) taken from the pass that makes the trailer.
struct HashedEnvelope {
  std::string bytes;
  Digest digest{};
};
Result<HashedEnvelope> encode_envelope_hashed(const RetrievalIndexDefinition& definition, uint64_t generation,
                                              const Digest& source_digest, const IndexData& data);

struct DecodedEnvelope {
  IndexData data;
  RetrievalIndexDefinition definition;
  uint64_t generation = 0;
  Digest source_digest{};
};

Result<DecodedEnvelope> decode_envelope(std::span<const uint8_t> bytes);

// Everything decode_envelope checks before the body, which is lent undecoded: a reader that
// only compares it with a body it built needs no index out of it.
struct EnvelopeHead {
  RetrievalIndexDefinition definition;
  uint64_t generation = 0;
  Digest source_digest{};
  std::span<const uint8_t> body;
};
Result<EnvelopeHead> read_envelope_head(std::span<const uint8_t> bytes);

}  // namespace qm::persistent
