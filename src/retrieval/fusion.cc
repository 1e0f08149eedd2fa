#include "retrieval/fusion.h"

#include <algorithm>
#include <map>

#include "core/total_order.h"

namespace qm::retrieval {

std::vector<FusedHit> fuse(std::span<const search::SearchHit> text, std::span<const vector::VectorHit> vector,
                           double text_weight, size_t limit) {
  std::map<int64_t, FusedHit> by_id;
  auto entry = [&](int64_t id) -> FusedHit& {
    return by_id.try_emplace(id, FusedHit{id, 0.0, std::nullopt, std::nullopt}).first->second;
  };
  if (text_weight > 0) {
    for (size_t i = 0; i < text.size(); ++i) {
      FusedHit& h = entry(text[i].id);
      h.score += text_weight / (static_cast<double>(i + 1) + kFusionConstant);
      h.text_rank = i + 1;
    }
  }
  if (text_weight < 1) {
    for (size_t i = 0; i < vector.size(); ++i) {
      FusedHit& h = entry(vector[i].id);
      h.score += (1.0 - text_weight) / (static_cast<double>(i + 1) + kFusionConstant);
      h.vector_rank = i + 1;
    }
  }
  std::vector<FusedHit> out;
  out.reserve(by_id.size());
  for (auto& [id, h] : by_id) out.push_back(h);
  std::stable_sort(out.begin(), out.end(), [](const FusedHit& a, const FusedHit& b) {
    int64_t ka = total_order_key(a.score), kb = total_order_key(b.score);
    return ka != kb ? ka > kb : a.id < b.id;
  });
  if (out.size() > limit) out.resize(limit);
  return out;
}

}  // namespace qm::retrieval
