// The catalog records of persisted retrieval indexes: `Descriptor`, a published index's entry
// in the manifest's "retrieval_indexes" list, and `RetrievalIndexInfo`, its statistics
// record; their compact JSON (fixed key order), the bounded strict reader of a manifest's
// descriptor list, and the checks every descriptor list passes when a manifest is read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/json_reader.h"
#include "core/json_writer.h"
#include "retrieval/definition.h"
#include "retrieval/json_fields.h"

namespace qm::persistent {

using retrieval::RetrievalIndexDefinition;

inline constexpr size_t kMaxDescriptors = 16;
inline constexpr uint64_t kMinEnvelopeBytes = 92;
inline constexpr uint64_t kMaxEnvelopeBytes = 33554432;
inline constexpr uint64_t kMaxCatalogBytes = 67108864;
inline constexpr uint64_t kMaxIndexDocuments = 10000;

struct Descriptor {
  RetrievalIndexDefinition definition;
  uint64_t cas_id = 0;
  uint64_t encoded_bytes = 0;
  uint64_t document_count = 0;
  uint64_t generation = 0;
  uint64_t rebuild_count = 0;
  friend bool operator==(const Descriptor&, const Descriptor&) = default;
};

struct RetrievalIndexInfo {
  RetrievalIndexDefinition definition;
  uint64_t document_count = 0;
  uint64_t source_bytes = 0;
  uint64_t persisted_bytes = 0;
  uint64_t generation = 0;
  uint64_t snapshot_transaction = 0;
  bool pending_write = false;
  uint64_t rebuild_count = 0;
};

void write_descriptor(JsonWriter& w, const Descriptor& d);
void write_info(JsonWriter& w, const RetrievalIndexInfo& info);  // "health" is always "healthy"

retrieval::JsonResult<Descriptor> read_descriptor(const JsonNode& node);
// The manifest's list: an array of at most 16 descriptors.
retrieval::JsonResult<std::vector<Descriptor>> read_descriptors(const JsonNode& node);

// A blob extent of an image's "cas_dir": offset and length.
using CasExtent = std::pair<uint64_t, uint64_t>;

// Corruption "persistent retrieval: ..." for a descriptor list that cannot belong to a sound
// manifest with this clock, this many blob hashes and these blob extents (empty when the
// manifest lists none).
Result<void> validate_descriptors(std::span<const Descriptor> descriptors, uint64_t clock, uint64_t cas_hash_count,
                                  std::span<const CasExtent> cas_dir);

}  // namespace qm::persistent
