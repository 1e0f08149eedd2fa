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
    slot_ids_.push_back(id);
    data_.resize(data_.size() + dimensions_);
    norms_.push_back(0);
    ids_.emplace(id, s);
  }
  std::copy(vector.begin(), vector.end(), data_.begin() + static_cast<ptrdiff_t>(size_t{s} * dimensions_));
  norms_[s] = std::sqrt(sum_of_squares(vector));
  return {};
}

bool VectorIndex::remove(int64_t id) {
  auto it = ids_.find(id);
  if (it == ids_.end()) return false;
  uint32_t s = it->second;
  uint32_t last = static_cast<uint32_t>(slot_ids_.size() - 1);
  if (s != last) {
    std::copy_n(data_.begin() + static_cast<ptrdiff_t>(size_t{last} * dimensions_), dimensions_,
                data_.begin() + static_cast<ptrdiff_t>(size_t{s} * dimensions_));
    slot_ids_[s] = slot_ids_[last];
    norms_[s] = norms_[last];
    ids_[slot_ids_[s]] = s;
  }
  slot_ids_.pop_back();
  norms_.pop_back();
  data_.resize(data_.size() - dimensions_);
  ids_.erase(it);
  return true;
}

std::span<const float> VectorIndex::vector(int64_t id) const {
  auto it = ids_.find(id);
  return it == ids_.end() ? std::span<const float>{} : slot(it->second);
}

double VectorIndex::distance(uint32_t s, std::span<const double> q, double query_norm) const {
  const float* v = data_.data() + size_t{s} * dimensions_;
  const size_t n = dimensions_;
  if (metric_ == Metric::SquaredEuclidean) {
    double sum = 0.0;
    for (size_t j = 0; j < n; ++j) {
      double d = static_cast<double>(v[j]) - q[j];
      sum += d * d;
    }
    return sum;
  }
  double dot = 0.0;
  for (size_t j = 0; j < n; ++j) dot += static_cast<double>(v[j]) * q[j];
  double d = 1.0 - dot / (norms_[s] * query_norm);
  if (!(d >= 0.0)) d = 0.0;
  if (!(d <= 2.0)) d = 2.0;
  return d;
}

VectorResult<std::vector<VectorHit>> VectorIndex::search_matching(std::span<const float> query, size_t limit,
                                                                  const std::vector<int64_t>* filter) const {
  auto ok = check(query);
  if (!ok) return std::unexpected(ok.error());
  if (limit > kMaxLimit) return std::unexpected(VectorError::Budget);
  std::vector<VectorHit> hits;
  if (limit == 0) return hits;
  std::vector<double> q(query.begin(), query.end());
  double query_norm = std::sqrt(sum_of_squares(query));
  // A bounded max-heap of the best `limit` hits seen so far.
  auto worse = [](const VectorHit& a, const VectorHit& b) {
    int64_t ka = total_order_key(a.distance), kb = total_order_key(b.distance);
    return ka != kb ? ka < kb : a.id < b.id;
  };
  hits.reserve(limit + 1);
  auto offer = [&](int64_t id, uint32_t s) {
    VectorHit h{id, distance(s, q, query_norm)};
    if (hits.size() == limit && !worse(h, hits.front())) return;
    hits.push_back(h);
    std::push_heap(hits.begin(), hits.end(), worse);
    if (hits.size() > limit) {
      std::pop_heap(hits.begin(), hits.end(), worse);
      hits.pop_back();
    }
  };
  if (filter) {
    for (int64_t id : *filter) {
      auto it = ids_.find(id);
      if (it != ids_.end()) offer(id, it->second);
    }
  } else {
    for (uint32_t s = 0; s < slot_ids_.size(); ++s) offer(slot_ids_[s], s);
  }
  std::sort_heap(hits.begin(), hits.end(), worse);
  return hits;
}

VectorResult<std::vector<VectorHit>> VectorIndex::search_filtered(std::span<const float> query, size_t limit,
                                                                  std::span<const int64_t> allowed) const {
  if (allowed.size() > kMaxAllowedIds) return std::unexpected(VectorError::Invalid);
  for (int64_t id : allowed)
    if (!ids_.contains(id)) return std::unexpected(VectorError::Invalid);
  std::vector<int64_t> filter(allowed.begin(), allowed.end());
  return search_matching(query, limit, &filter);
}

}  // namespace qm::vector
