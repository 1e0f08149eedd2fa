#include "retrieval/response.h"

#include <charconv>

#include "core/json_writer.h"

namespace qm::retrieval {
namespace {

void write_id(JsonWriter& w, int64_t id) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, id);
  w.key("id").string(std::string_view(buf, static_cast<size_t>(res.ptr - buf)));
}

void write_rank(JsonWriter& w, std::string_view key, const std::optional<uint64_t>& rank) {
  w.key(key);
  if (rank) {
    w.uint64(*rank);
  } else {
    w.null();
  }
}

// An array of one object a hit, its members written by `write_hit`.
template <class Hit, class WriteHit>
std::string hits_json(std::span<const Hit> hits, WriteHit write_hit) {
  std::string out;
  JsonWriter w(out);
  w.begin_array();
  for (const Hit& h : hits) {
    w.begin_object();
    write_hit(w, h);
    w.end_object();
  }
  w.end_array();
  return out;
}

}  // namespace

std::string text_hits_json(std::span<const search::SearchHit> hits) {
  return hits_json(hits, [](JsonWriter& w, const search::SearchHit& h) {
    write_id(w, h.id);
    w.key("score").number(h.score);
  });
}

std::string vector_hits_json(std::span<const vector::VectorHit> hits) {
  return hits_json(hits, [](JsonWriter& w, const vector::VectorHit& h) {
    w.key("distance").number(h.distance);
    write_id(w, h.id);
  });
}

std::string fused_hits_json(std::span<const FusedHit> hits) {
  return hits_json(hits, [](JsonWriter& w, const FusedHit& h) {
    write_id(w, h.id);
    w.key("score").number(h.score);
    write_rank(w, "text_rank", h.text_rank);
    write_rank(w, "vector_rank", h.vector_rank);
  });
}

}  // namespace qm::retrieval
