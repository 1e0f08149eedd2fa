#include "retrieval/index_envelope.h"

#include <cstring>

#include "core/byte_codec.h"
#include "retrieval/definition_json.h"

namespace qm::persistent {
namespace {

constexpr char kMagic[8] = {'Q', 'M', 'R', 'I', 'D', 'X', 0, 0};
constexpr uint16_t kVersion = 1;

uint8_t kind_byte(const RetrievalIndexDefinition& d) {
  return std::holds_alternative<retrieval::VectorKind>(d.kind) ? 2 : 1;
}

}  // namespace

Result<HashedEnvelope> encode_envelope_hashed(const RetrievalIndexDefinition& definition, uint64_t generation,
                                              const Digest& source_digest, const IndexData& data) {
  std::string def = retrieval::definition_json(definition);
  if (def.size() > retrieval::kMaxDefinitionJsonBytes) return fail(corrupt("definition exceeds 8 KiB"));
  if (!data.text && !data.vector) return fail(corrupt("index data is unavailable"));
  Encoder e;
  e.reserve(kEnvelopeOverhead + def.size() + data.body_size());
  QM_TRY(e.put(std::string_view(kMagic, 8)));
  QM_TRY(e.u16(kVersion));
  QM_TRY(e.u8(kind_byte(definition)));
  QM_TRY(e.u8(0));
  QM_TRY(e.u64(generation));
  QM_TRY(e.count(def.size()));
  QM_TRY(e.put(def));
  QM_TRY(e.put(source_digest));
  // The body goes straight in after its length, which is filled in once it is written.
  const size_t length_at = e.size();
  QM_TRY(e.u32(0));
  QM_TRY(data.body_into(e));
  e.patch_u32(length_at, static_cast<uint32_t>(e.size() - length_at - 4));
  if (e.size() > kMaxEncodedBytes - 32) return fail(QmError::resource_limit("persistent retrieval envelope exceeds 32 MiB"));
  Blake3Hasher hasher;
  hasher.update(e.bytes());
  const Digest trailer = hasher.finalize();
  QM_TRY(e.put(trailer));
  hasher.update(trailer);
  HashedEnvelope out;
  out.digest = hasher.finalize();
  out.bytes = e.take();
  return out;
}

Result<std::string> encode_envelope(const RetrievalIndexDefinition& definition, uint64_t generation,
                                    const Digest& source_digest, const IndexData& data) {
  QM_ASSIGN(HashedEnvelope out, encode_envelope_hashed(definition, generation, source_digest, data));
  return std::move(out.bytes);
}

Result<EnvelopeHead> read_envelope_head(std::span<const uint8_t> bytes) {
  if (bytes.size() < kEnvelopeOverhead || bytes.size() > kMaxEncodedBytes) return fail(corrupt("invalid envelope length"));
  auto content = bytes.first(bytes.size() - 32);
  Digest actual = blake3(content);
  if (std::memcmp(actual.data(), bytes.data() + content.size(), 32) != 0) return fail(corrupt("envelope checksum mismatch"));
  Decoder d(content);
  QM_ASSIGN(auto magic, d.take(8));
  QM_ASSIGN(uint16_t version, d.u16());
  if (std::memcmp(magic.data(), kMagic, 8) != 0 || version != kVersion) return fail(corrupt("unsupported index magic or version"));
  QM_ASSIGN(uint8_t kind, d.u8());
  QM_ASSIGN(uint8_t reserved, d.u8());
  if (reserved != 0) return fail(corrupt("nonzero reserved header byte"));
  EnvelopeHead out;
  QM_ASSIGN(out.generation, d.u64());
  QM_ASSIGN(uint32_t def_len, d.count(retrieval::kMaxDefinitionJsonBytes));
  QM_ASSIGN(auto def_bytes, d.take(def_len));
  std::string_view def_text(reinterpret_cast<const char*>(def_bytes.data()), def_bytes.size());
  auto def = retrieval::read_definition_text(def_text);
  if (!def) return fail(corrupt(def.error()));
  if (auto v = def->validate(); !v) return fail(corrupt(v.error().message()));
  if (kind != kind_byte(*def) || retrieval::definition_json(*def) != def_text)
    return fail(corrupt("noncanonical or mismatched definition"));
  QM_ASSIGN(auto digest, d.take(32));
  std::memcpy(out.source_digest.data(), digest.data(), 32);
  QM_ASSIGN(uint32_t body_len, d.count(static_cast<uint32_t>(kMaxEncodedBytes)));
  QM_ASSIGN(out.body, d.take(body_len));
  QM_TRY(d.finish());
  out.definition = std::move(*def);
  return out;
}

Result<DecodedEnvelope> decode_envelope(std::span<const uint8_t> bytes) {
  QM_ASSIGN(EnvelopeHead head, read_envelope_head(bytes));
  DecodedEnvelope out;
  QM_ASSIGN(out.data, IndexData::decode(head.definition, head.body));
  out.definition = std::move(head.definition);
  out.generation = head.generation;
  out.source_digest = head.source_digest;
  return out;
}

}  // namespace qm::persistent
