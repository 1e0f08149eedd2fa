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

}  // namespace

std::string text_hits_json(std::span<const search::SearchHit> hits) {
  std::string out;
  JsonWriter w(out);
  w.begin_array();
  for (const auto& h : hits) {
    w.begin_object();
    write_id(w, h.id);
    w.key("score").number(h.score).end_object();
  }
  w.end_array();
  return out;
}

std::string vector_hits_json(std::span<const vector::VectorHit> hits) {
  std::string out;
  JsonWriter w(out);
  w.begin_array();
  for (const auto& h : hits) {
    w.begin_object().key("distance").number(h.distance);
    write_id(w, h.id);
    w.end_object();
  }
  w.end_array();
  return out;
}

std::string fused_hits_json(std::span<const FusedHit> hits) {
  std::string out;
  JsonWriter w(out);
  w.begin_array();
  for (const auto& h : hits) {
    w.begin_object();
    write_id(w, h.id);
    w.key("score").number(h.score);
    write_rank(w, "text_rank", h.text_rank);
    write_rank(w, "vector_rank", h.vector_rank);
    w.end_object();
  }
  w.end_array();
  return out;
}

}  // namespace qm::retrieval
