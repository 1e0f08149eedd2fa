// The vector body: u32 dimensions, u32 count, u8 metric (ordinal + 1), three zero bytes, then
// per vector by ascending id the i64 id and its binary32 values. The decoder checks the exact
// length before it allocates a single vector.
#include "retrieval/index_data.h"

#include <algorithm>

#include "core/byte_codec.h"

namespace qm::persistent {

vector::Metric vector_metric(retrieval::RetrievalMetric m) {
  return m == retrieval::RetrievalMetric::Cosine ? vector::Metric::Cosine : vector::Metric::SquaredEuclidean;
}

Result<IndexData> IndexData::create(const RetrievalIndexDefinition& definition, bool keep_encoded) {
  QM_TRY(definition.validate());
  IndexData data;
  if (const auto* v = std::get_if<retrieval::VectorKind>(&definition.kind)) {
    data.vector.emplace(static_cast<size_t>(v->dimensions), vector_metric(v->metric));
  } else {
    data.text.emplace();
    if (keep_encoded) data.text->keep_encoded();
  }
  return data;
}

Result<std::string> IndexData::body() const {
  if (!text && !vector) return fail(corrupt("index data is unavailable"));
  Encoder e;
  e.reserve(body_size());
  QM_TRY(body_into(e));
  return e.take();
}

Result<bool> IndexData::body_equals(std::span<const uint8_t> bytes) const {
  if (text) return text->persistent_equals(bytes);
  QM_ASSIGN(std::string mine, body());
  return std::equal(mine.begin(), mine.end(), bytes.begin(), bytes.end(),
                    [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

uint64_t IndexData::body_size() const {
  if (text) return text->persistent_size();
  if (vector) return 12 + vector->size() * (8 + 4 * uint64_t{vector->dimensions()});
  return 0;
}

Result<void> IndexData::body_into(Encoder& e) const {
  if (text) return text->encode_persistent_into(e);
  if (!vector) return fail(corrupt("index data is unavailable"));
  const size_t dims = vector->dimensions();
  QM_TRY(e.count(dims));
  QM_TRY(e.count(vector->size()));
  QM_TRY(e.u8(vector->metric() == vector::Metric::Cosine ? 1 : 2));
  QM_TRY(e.put(std::string_view("\0\0\0", 3)));
  for (const auto& [id, slot] : vector->sorted()) {
    QM_TRY(e.i64(id));
    for (size_t j = 0; j < dims; ++j) QM_TRY(e.f32(vector->element(slot, j)));
  }
  return {};
}

Result<IndexData> IndexData::decode(const RetrievalIndexDefinition& definition, std::span<const uint8_t> body) {
  QM_ASSIGN(IndexData data, create(definition, false));  // the text body is decoded whole below
  if (data.text) {
    QM_ASSIGN(data.text, search::SearchIndex::decode_persistent(body));
    return data;
  }
  const auto& kind = std::get<retrieval::VectorKind>(definition.kind);
  if (body.size() > kMaxEncodedBytes) return fail(corrupt("encoded index exceeds 32 MiB"));
  Decoder d(body);
  QM_ASSIGN(uint32_t dims, d.count(vector::kMaxDimensions));
  QM_ASSIGN(uint32_t n, d.count(vector::kMaxVectors));
  QM_ASSIGN(uint8_t metric, d.u8());
  uint8_t want_metric = kind.metric == retrieval::RetrievalMetric::Cosine ? 1 : 2;
  if (dims == 0 || dims != kind.dimensions || metric != want_metric) return fail(corrupt("vector header/definition mismatch"));
  QM_ASSIGN(auto pad, d.take(3));
  if (pad[0] || pad[1] || pad[2]) return fail(corrupt("vector header/definition mismatch"));
  if (uint64_t{n} * dims > vector::kMaxElements) return fail(corrupt("vector scalar budget"));
  if (body.size() != 12 + uint64_t{n} * (8 + 4 * uint64_t{dims})) return fail(corrupt("vector extent/count mismatch"));
  std::vector<float> values(dims);
  for (uint32_t i = 0; i < n; ++i) {
    QM_ASSIGN(int64_t id, d.i64());
    if (i > 0 && id <= data.vector->ids().rbegin()->first) return fail(corrupt("vector IDs are not strictly ordered"));
    QM_ASSIGN(auto raw, d.take(size_t{dims} * sizeof(float)));
    std::memcpy(values.data(), raw.data(), raw.size());
    auto added = data.vector->upsert(id, values);
    if (!added) return fail(corrupt(vector::to_string(added.error())));
  }
  QM_TRY(d.finish());
  return data;
}

}  // namespace qm::persistent
