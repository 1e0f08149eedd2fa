// CatalogEntry: the in-memory state of one persisted retrieval index: its live IndexData,
// definition, last published descriptor, generation, rebuild count, one SourceDocument per
// indexed row and the flag of unpublished changes. Rows become index input through
// `prepare`; an entry grows with `add` while it is built from its table and follows each
// write statement through `apply`.
//
// Invariants after every successful operation: `sources` holds exactly the ids of the index
// data; `source_bytes` is the sum of their sizes; at most 10000 sources and 8 MiB (full
// text) or 16 MiB (vector) of source bytes. The source digest ties a stored envelope to the
// rows it was built from.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/blake3.h"
#include "core/error.h"
#include "core/value.h"
#include "retrieval/descriptor.h"
#include "retrieval/index_envelope.h"
#include "retrieval/index_data.h"

namespace qm::persistent {

// Full text keeps to the search index's caps (documents, source bytes, bytes a document);
// a vector index has its own source budget and encoded-vector size.
inline constexpr uint64_t kVectorSourceBudget = 16777216;
inline constexpr size_t kMaxVectorTextBytes = 65536;

struct SourceDocument {
  Digest hash{};
  uint64_t bytes = 0;
  friend bool operator==(const SourceDocument&, const SourceDocument&) = default;
};

struct PreparedDocument {
  int64_t id = 0;
  std::optional<std::string> text;
  std::optional<std::vector<float>> vector;
  Digest hash{};
  uint64_t bytes = 0;
};

// One table row (values in column order) as index input for a definition.
Result<PreparedDocument> prepare(const RetrievalIndexDefinition& definition, std::span<const std::string> columns,
                                 std::span<const Value> row);
// A vector column's text: one JSON array of at most 4096 numbers read as f32, of exactly
// `dimensions` values.
Result<std::vector<float>> bounded_vector(std::string_view text, uint64_t dimensions);

class CatalogEntry {
 public:
  // An empty, unpublished entry whose generation is the given clock value (`keep_encoded`:
  // see IndexData::create).
  static Result<CatalogEntry> create(const RetrievalIndexDefinition& definition, uint64_t clock, bool keep_encoded);

  Result<void> add(const PreparedDocument& doc);
  // The row changes of one write statement; `generation` becomes the entry's when its
  // indexed content changed. A failure may leave the entry partly changed: callers apply
  // only under a rollback boundary.
  Result<void> apply(std::span<const std::string> columns, std::span<const Row> removed, std::span<const Row> added,
                     uint64_t generation);

  Digest source_digest() const;
  RetrievalIndexInfo info(uint64_t snapshot_transaction) const;
  // The whole envelope of the entry.
  Result<std::string> encode() const;
  // The same with the envelope's BLAKE3, made in the same pass.
  Result<HashedEnvelope> encode_hashed() const;
  // After the envelope went to the blob store at position cas_id.
  void mark_published(uint64_t cas_id, uint64_t encoded_bytes);
  // Publication without encoding, for a memory database whose envelopes nothing reads until
  // an image is baked: the entry's published state (descriptor, pending flag) becomes what
  // publishing it now would give, while its blob store slot keeps an older envelope that
  // must be replaced before the store is read (`deferred`). False, changing nothing, when
  // the entry was never published (its slot is not yet placed) or its encoding could fail.
  bool defer_publication();
  bool deferred() const { return deferred_; }
  // An entry loaded at open: the manifest's descriptor becomes the published state.
  void adopt(const Descriptor& descriptor);

  // The undo of one transaction (memory databases): from begin_undo every document change is
  // logged with what puts it back, so that undo() returns the entry to its state at
  // begin_undo at the cost of the documents changed since, and end_undo() keeps the changes.
  // A copy of the entry carries its log.
  void begin_undo();
  bool undo_active() const { return undo_.has_value(); }
  void undo();
  void end_undo() { undo_.reset(); }

  const IndexData& data() const { return data_; }
  const RetrievalIndexDefinition& definition() const { return definition_; }
  const std::optional<Descriptor>& persisted() const { return persisted_; }
  uint64_t generation() const { return generation_; }
  uint64_t rebuild_count() const { return rebuild_count_; }
  const std::map<int64_t, SourceDocument>& sources() const { return sources_; }
  // The ids of `sources`, ascending: membership tests by binary search or one comparison.
  const std::vector<int64_t>& sorted_ids() const;
  uint64_t source_bytes() const { return source_bytes_; }
  bool pending_write() const { return pending_write_; }

 private:
  CatalogEntry(IndexData data, RetrievalIndexDefinition definition, uint64_t generation)
      : data_(std::move(data)), definition_(std::move(definition)), generation_(generation) {}
  Result<void> remove_document(const PreparedDocument& doc);

  struct UndoStep {
    bool added = false;  // undone by removing the id; else by putting back what follows
    int64_t id = 0;
    std::optional<SourceDocument> source;
    std::optional<std::string> text;
    std::optional<std::vector<float>> vector;
  };
  struct UndoLog {
    std::optional<Descriptor> persisted;
    uint64_t generation = 0;
    uint64_t rebuild_count = 0;
    uint64_t source_bytes = 0;
    bool pending_write = false;
    bool deferred = false;
    std::vector<UndoStep> steps;
  };

  IndexData data_;
  RetrievalIndexDefinition definition_;
  std::optional<Descriptor> persisted_;
  uint64_t generation_ = 0;
  uint64_t rebuild_count_ = 0;
  std::map<int64_t, SourceDocument> sources_;
  uint64_t source_bytes_ = 0;
  bool pending_write_ = true;
  bool deferred_ = false;
  std::optional<UndoLog> undo_;
  mutable std::vector<int64_t> sorted_ids_;  // filled on first need after a change
  mutable bool ids_stale_ = true;
};

// The catalog of a database: index name -> entry, iterated in ascending name order.
using Catalog = std::map<std::string, CatalogEntry, std::less<>>;

// The descriptors the manifest lists; every entry must be published and unchanged since.
Result<std::vector<Descriptor>> catalog_descriptors(const Catalog& catalog);
std::vector<RetrievalIndexInfo> catalog_infos(const Catalog& catalog, uint64_t clock);

}  // namespace qm::persistent
