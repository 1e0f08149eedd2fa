// Manifest: the catalog of a database as one JSON document (qm_manifest.json in a
// workspace, the last region of an image). This file owns the in-memory model, the exact
// writer and the strict reader.
//
// Writer invariants: compact JSON, keys in the field order below, optional keys left out
// entirely when absent (or empty, where the format says so); "first_page" and "tail_id"
// are always written, as null for a table without pages.
//
// Reader invariants: unknown keys are skipped at every level; a known key given twice,
// a required key missing, a wrong JSON type or a number out of range is refused; a
// structure may also be written as an array of its field values in field order; nesting
// is bounded at 128 levels for the whole document. Every refusal is a Manifest error
// ("manifest error: ...") and nothing of the database is opened.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/json_reader.h"
#include "core/json_writer.h"
#include "core/value.h"
#include "storage/secondary_index.h"
#include "table/limits.h"
#include "sql/statement.h"

namespace qm::db {


// A secondary index written inline: its keys in index order with their row ids.
struct PersistedIndex {
  std::string column;
  std::vector<std::pair<Value, std::vector<uint64_t>>> pairs;
  friend bool operator==(const PersistedIndex&, const PersistedIndex&) = default;
};

// A secondary index stored in binary form in an image's index region; the offset is
// relative to the start of the region.
struct BinIndexDesc {
  std::string column;
  uint64_t offset = 0;
  uint64_t len = 0;
  friend bool operator==(const BinIndexDesc&, const BinIndexDesc&) = default;
};

// One table's record in the manifest.
struct TableMeta {
  std::string name;
  std::vector<std::string> columns;           // declaration order
  std::vector<std::string> unique_columns;    // sorted by name when written
  std::vector<std::string> not_null_columns;  // sorted by name when written
  std::map<std::string, Value> defaults;
  std::vector<sql::Predicate> checks;       // declaration order
  std::optional<uint64_t> first_page;
  std::optional<uint64_t> tail_id;
  uint64_t row_versions = 0;
  uint64_t cold_pages = 0;
  std::optional<uint64_t> compaction_cursor;
  std::vector<std::string> indexed_columns;
  std::vector<PersistedIndex> indexes;
  std::vector<BinIndexDesc> binary_indexes;
  friend bool operator==(const TableMeta&, const TableMeta&) = default;
};

using Extent = std::pair<uint64_t, uint64_t>;  // [offset, length]

struct Manifest {
  uint16_t format_version = 0;  // 0 when absent on reading (then refused by the version check)
  uint64_t clock = 0;
  std::optional<uint64_t> commit_sequence;
  std::optional<bool> logged_workspace;
  uint64_t page_count = 0;
  std::vector<TableMeta> tables;
  std::vector<std::string> cas_hashes;
  // When set, the elements of "cas_hashes" as compact JSON, exactly as encoding cas_hashes
  // would write them (the blob store keeps this text as its list changes); the writer emits
  // it in place of cas_hashes, which is then left empty. It must outlive the write.
  std::optional<std::string_view> cas_hashes_json;
  std::vector<Extent> cas_dir;  // offsets relative to the start of an image's blob pool
  std::optional<Extent> index_region;
  // The persisted retrieval-index descriptors, kept as read (at most 16).
  std::vector<JsonNode> retrieval_indexes;
};

// Compact JSON of a manifest, keys in their fixed order.
std::string write_manifest_json(const Manifest& m);

// The live secondary indexes a manifest writes as its tables' inline pairs: per table of
// Manifest::tables (same order), its indexes by column.
using LiveIndexes = std::vector<std::vector<std::pair<std::string_view, const storage::SecondaryIndex*>>>;
// The same text as write_manifest_json of the manifest whose tables hold these indexes as
// PersistedIndex pairs (the tables' own "indexes" are not written), each entry written
// straight from its index: no copy of the entries, and the text's room taken once.
std::string write_manifest_json(const Manifest& m, const LiveIndexes& live);

// Strict reading of manifest bytes; every refusal is ErrorKind::Manifest.
Result<Manifest> read_manifest_json(std::string_view text);

// Writes a parsed JSON value back as compact JSON (members in their stored order).
void write_json_node(JsonWriter& w, const JsonNode& node);

// What build_manifest writes for the secondary indexes.
struct IndexPlan {
  enum class Kind : uint8_t { NoContents, Pairs, Binary };
  Kind kind = Kind::Pairs;
  // Binary: per table name, its descriptors; and the region's absolute offset and length.
  std::vector<std::pair<std::string, std::vector<BinIndexDesc>>> binary;
  uint64_t region_offset = 0;
  uint64_t region_length = 0;

  static IndexPlan no_contents() { return {Kind::NoContents, {}, 0, 0}; }
  static IndexPlan pairs() { return {Kind::Pairs, {}, 0, 0}; }
};

// The secondary-index region of an image and, per table with indexes, its descriptors.
struct IndexRegion {
  std::string bytes;
  std::vector<std::pair<std::string, std::vector<BinIndexDesc>>> tables;
};

}  // namespace qm::db
