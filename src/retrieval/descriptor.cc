#include "retrieval/descriptor.h"

#include <array>
#include <set>

#include "core/byte_codec.h"
#include "retrieval/definition_json.h"

namespace qm::persistent {

using retrieval::JsonResult;

void write_descriptor(JsonWriter& w, const Descriptor& d) {
  w.begin_object().key("definition");
  retrieval::write_definition(w, d.definition);
  w.key("cas_id").uint64(d.cas_id).key("encoded_bytes").uint64(d.encoded_bytes);
  w.key("document_count").uint64(d.document_count).key("generation").uint64(d.generation);
  w.key("rebuild_count").uint64(d.rebuild_count).end_object();
}

void write_info(JsonWriter& w, const RetrievalIndexInfo& info) {
  w.begin_object().key("definition");
  retrieval::write_definition(w, info.definition);
  w.key("document_count").uint64(info.document_count).key("source_bytes").uint64(info.source_bytes);
  w.key("persisted_bytes").uint64(info.persisted_bytes).key("generation").uint64(info.generation);
  w.key("snapshot_transaction").uint64(info.snapshot_transaction).key("health").string("healthy");
  w.key("pending_write").boolean(info.pending_write).key("rebuild_count").uint64(info.rebuild_count).end_object();
}

JsonResult<Descriptor> read_descriptor(const JsonNode& node) {
  if (!node.is_object()) return std::unexpected(retrieval::invalid_type(node, "struct Descriptor"));
  static constexpr std::array<std::string_view, 6> kKeys = {"definition",     "cas_id",     "encoded_bytes",
                                                            "document_count", "generation", "rebuild_count"};
  static constexpr std::array<bool, 6> kRequired = {true, true, true, true, true, true};
  auto f = retrieval::match_fields(node, kKeys);
  if (!f) return std::unexpected(f.error());
  if (auto r = retrieval::require_fields(*f, kKeys, kRequired); !r) return std::unexpected(r.error());
  Descriptor d;
  auto def = retrieval::read_definition(*(*f)[0]);
  if (!def) return std::unexpected(def.error());
  d.definition = std::move(*def);
  uint64_t* numbers[5] = {&d.cas_id, &d.encoded_bytes, &d.document_count, &d.generation, &d.rebuild_count};
  for (size_t i = 0; i < 5; ++i) {
    auto n = retrieval::read_u64(*(*f)[i + 1]);
    if (!n) return std::unexpected(n.error());
    *numbers[i] = *n;
  }
  return d;
}

JsonResult<std::vector<Descriptor>> read_descriptors(const JsonNode& node) {
  if (!node.is_array())
    return std::unexpected(retrieval::invalid_type(node, "a sequence containing at most " + std::to_string(kMaxDescriptors) + " entries"));
  if (node.items.size() > kMaxDescriptors) return std::unexpected(std::string("persistent retrieval sequence exceeds its limit"));
  std::vector<Descriptor> out;
  for (const auto& item : node.items) {
    auto d = read_descriptor(item);
    if (!d) return std::unexpected(d.error());
    out.push_back(std::move(*d));
  }
  return out;
}

Result<void> validate_descriptors(std::span<const Descriptor> descriptors, uint64_t clock, uint64_t cas_hash_count,
                                  std::span<const CasExtent> cas_dir) {
  if (descriptors.size() > kMaxDescriptors) return fail(corrupt("too many catalog definitions"));
  uint64_t total = 0;
  std::set<std::string_view> names;
  for (const auto& d : descriptors) {
    if (auto v = d.definition.validate(); !v) return fail(corrupt(v.error().message()));
    if (__builtin_add_overflow(total, d.encoded_bytes, &total)) return fail(corrupt("catalog byte overflow"));
    bool fresh = names.insert(d.definition.name).second;
    if (!fresh || d.generation > clock || d.encoded_bytes < kMinEnvelopeBytes || d.document_count > kMaxIndexDocuments ||
        d.encoded_bytes > kMaxEnvelopeBytes || total > kMaxCatalogBytes || d.cas_id >= cas_hash_count)
      return fail(corrupt("invalid descriptor for " + d.definition.name));
  }
  if (descriptors.empty() || cas_dir.empty()) return {};
  for (const auto& d : descriptors) {
    if (d.cas_id >= cas_dir.size()) return fail(corrupt("missing retrieval CAS extent"));
    if (cas_dir[d.cas_id].second != d.encoded_bytes) return fail(corrupt(d.definition.name + " descriptor/CAS length mismatch"));
  }
  return {};
}

}  // namespace qm::persistent
