#include "vector/vector_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/total_order.h"

namespace qm::vector {

const char* metric_name(Metric m) { return m == Metric::Cosine ? "cosine" : "squared_euclidean"; }

const char* to_string(VectorError e) {
  return e == VectorError::Budget ? "vector index exceeds its dimension, document or element budget"
                                  : "vectors must match dimensions and contain finite values; cosine vectors must be nonzero";
}

namespace {

double sum_of_squares(std::span<const float> v) {
  double s = 0.0;
  for (float x : v) {
    double d = x;
    s += d * d;
  }
  return s;
}

}  // namespace

VectorResult<void> VectorIndex::check(std::span<const float> v) const {
  if (v.size() != dimensions_) return std::unexpected(VectorError::Invalid);
  bool nonzero = false;
  for (float x : v) {
    if (!std::isfinite(x)) return std::unexpected(VectorError::Invalid);
    nonzero |= x != 0.0f;
  }
  if (metric_ == Metric::Cosine && !nonzero) return std::unexpected(VectorError::Invalid);
  return {};
}

VectorResult<void> VectorIndex::upsert(int64_t id, std::span<const float> vector) {
  auto ok = check(vector);
  if (!ok) return ok;
  auto it = ids_.find(id);
  size_t n = ids_.size() + (it == ids_.end());
  if (n > kMaxVectors || n * dimensions_ > kMaxElements) return std::unexpected(VectorError::Budget);
  uint32_t s;
  if (it != ids_.end()) {
    s = it->second;
  } else {
    s = static_cast<uint32_t>(slot_ids_.size());
    if (s % kLanes == 0) data_.resize(data_.size() + kLanes * dimensions_, 0.0f);
    slot_ids_.push_back(id);
    norms_.push_back(0);
    ids_.emplace(id, s);
    sorted_stale_ = true;
  }
  float* base = data_.data() + offset(s);
  for (size_t j = 0; j < dimensions_; ++j) base[j * kLanes] = vector[j];
  norms_[s] = std::sqrt(sum_of_squares(vector));
  return {};
}

bool VectorIndex::remove(int64_t id) {
  auto it = ids_.find(id);
  if (it == ids_.end()) return false;
  uint32_t s = it->second;
  uint32_t last = static_cast<uint32_t>(slot_ids_.size() - 1);
  float* from = data_.data() + offset(last);
  if (s != last) {
    float* to = data_.data() + offset(s);
    for (size_t j = 0; j < dimensions_; ++j) to[j * kLanes] = from[j * kLanes];
    slot_ids_[s] = slot_ids_[last];
    norms_[s] = norms_[last];
    ids_[slot_ids_[s]] = s;
  }
  slot_ids_.pop_back();
  norms_.pop_back();
  if (last % kLanes == 0) {
    data_.resize(data_.size() - kLanes * dimensions_);
  } else {
    for (size_t j = 0; j < dimensions_; ++j) from[j * kLanes] = 0.0f;
  }
  ids_.erase(it);
  sorted_stale_ = true;
  return true;
}

const std::vector<std::pair<int64_t, uint32_t>>& VectorIndex::sorted() const {
  if (sorted_stale_) {
    sorted_.assign(ids_.begin(), ids_.end());
    sorted_stale_ = false;
  }
  return sorted_;
}

std::vector<float> VectorIndex::vector(int64_t id) const {
  std::vector<float> out;
  auto it = ids_.find(id);
  if (it == ids_.end()) return out;
  out.reserve(dimensions_);
  for (size_t j = 0; j < dimensions_; ++j) out.push_back(element(it->second, j));
  return out;
}

namespace {

double clamp_cosine(double dot, double norm_s, double norm_q) {
  double d = 1.0 - dot / (norm_s * norm_q);
  if (!(d >= 0.0)) d = 0.0;  // NaN too
  if (!(d <= 2.0)) d = 2.0;
  return d;
}

// The sums of one block's kLanes slots. Lane k keeps its own accumulator and adds its terms
// in element order, exactly as slot k alone would; packing lanes side by side only lets the
// CPU do several independent sums per instruction.
constexpr size_t kLanes = VectorIndex::kLanes;

template <bool kCosine>
void block_sums(const float* block, size_t dims, const double* q, double* out) {
  double acc[kLanes] = {};
  for (size_t j = 0; j < dims; ++j) {
    const double qj = q[j];
    const float* row = block + j * kLanes;
    for (size_t k = 0; k < kLanes; ++k) {
      if constexpr (kCosine) {
        acc[k] += static_cast<double>(row[k]) * qj;
      } else {
        double d = static_cast<double>(row[k]) - qj;
        acc[k] += d * d;
      }
    }
  }
  for (size_t k = 0; k < kLanes; ++k) out[k] = acc[k];
}

}  // namespace

std::vector<VectorHit> VectorIndex::scan(std::span<const float> query, size_t limit,
                                         const std::vector<uint8_t>* mask) const {
  std::vector<VectorHit> hits;
  std::vector<double> q(query.begin(), query.end());
  double query_norm = std::sqrt(sum_of_squares(query));
  // A bounded max-heap of the best `limit` hits seen so far.
  auto worse = [](const VectorHit& a, const VectorHit& b) {
    int64_t ka = total_order_key(a.distance), kb = total_order_key(b.distance);
    return ka != kb ? ka < kb : a.id < b.id;
  };
  hits.reserve(limit + 1);
  auto offer = [&](int64_t id, double distance) {
    VectorHit h{id, distance};
    if (hits.size() == limit && !worse(h, hits.front())) return;
    hits.push_back(h);
    std::push_heap(hits.begin(), hits.end(), worse);
    if (hits.size() > limit) {
      std::pop_heap(hits.begin(), hits.end(), worse);
      hits.pop_back();
    }
  };
  const uint32_t n = static_cast<uint32_t>(slot_ids_.size());
  double sums[kLanes];
  for (uint32_t s = 0; s < n; s += kLanes) {
    const uint32_t lanes = std::min<uint32_t>(kLanes, n - s);
    if (mask) {
      bool any = false;
      for (uint32_t k = 0; k < lanes; ++k) any = any || (*mask)[s + k];
      if (!any) continue;
    }
    const float* block = data_.data() + offset(s);
    if (metric_ == Metric::Cosine) {
      block_sums<true>(block, dimensions_, q.data(), sums);
    } else {
      block_sums<false>(block, dimensions_, q.data(), sums);
    }
    for (uint32_t k = 0; k < lanes; ++k) {
      if (mask && !(*mask)[s + k]) continue;
      double d = metric_ == Metric::Cosine ? clamp_cosine(sums[k], norms_[s + k], query_norm) : sums[k];
      offer(slot_ids_[s + k], d);
    }
  }
  std::sort_heap(hits.begin(), hits.end(), worse);
  return hits;
}

VectorResult<std::vector<VectorHit>> VectorIndex::search_matching(std::span<const float> query, size_t limit,
                                                                  const std::vector<int64_t>* filter) const {
  auto ok = check(query);
  if (!ok) return std::unexpected(ok.error());
  if (limit > kMaxLimit) return std::unexpected(VectorError::Budget);
  if (limit == 0) return std::vector<VectorHit>{};
  if (!filter) return scan(query, limit, nullptr);
  // The filter (ascending) merged with the stored ids marks the slots to measure.
  std::vector<uint8_t> mask(slot_ids_.size(), 0);
  const auto& stored = sorted();
  size_t at = 0;
  for (int64_t id : *filter) {
    while (at < stored.size() && stored[at].first < id) ++at;
    if (at < stored.size() && stored[at].first == id) mask[stored[at].second] = 1;
  }
  return scan(query, limit, &mask);
}

VectorResult<std::vector<VectorHit>> VectorIndex::search_filtered(std::span<const float> query, size_t limit,
                                                                  std::span<const int64_t> allowed) const {
  if (allowed.size() > kMaxAllowedIds) return std::unexpected(VectorError::Invalid);
  const auto& stored = sorted();
  // `allowed` is ascending: as large as the index it must be the index, else one merge
  // checks every id.
  if (allowed.size() == stored.size()) {
    for (size_t i = 0; i < allowed.size(); ++i)
      if (allowed[i] != stored[i].first) return std::unexpected(VectorError::Invalid);
    return search_matching(query, limit, nullptr);
  }
  size_t at = 0;
  for (int64_t id : allowed) {
    while (at < stored.size() && stored[at].first < id) ++at;
    if (at == stored.size() || stored[at].first != id) return std::unexpected(VectorError::Invalid);
  }
  std::vector<int64_t> filter(allowed.begin(), allowed.end());
  return search_matching(query, limit, &filter);
}

}  // namespace qm::vector
