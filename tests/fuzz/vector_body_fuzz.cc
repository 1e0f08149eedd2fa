// The persisted vector body, decoded against the definition its own header claims (so most
// inputs reach the per-vector checks): refused, or canonical and searchable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "retrieval/index_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  uint32_t dims;
  std::memcpy(&dims, data, 4);
  if (dims == 0 || dims > 4096) return 0;
  auto metric = data[8] == 1 ? qm::retrieval::RetrievalMetric::Cosine : qm::retrieval::RetrievalMetric::SquaredEuclidean;
  qm::retrieval::RetrievalIndexDefinition def{"v", "t", "id", qm::retrieval::VectorKind{"e", metric, dims}};
  auto decoded = qm::persistent::IndexData::decode(def, std::span<const uint8_t>(data, size));
  if (!decoded) return 0;
  auto again = decoded->body();
  if (!again || again->size() != size || std::memcmp(again->data(), data, size) != 0) std::abort();
  std::vector<float> query(dims, 0.5f);
  auto hits = decoded->vector->search_matching(query, 5, nullptr);
  if (!hits || hits->size() > 5) std::abort();
  return 0;
}
