// The workspace open's manifest reader: one pass over the text, no document built, each
// inline index's pairs added to their SecondaryIndex as they come (in key order, so each key
// lands at the end of the index's last leaf). A manifest of N bytes needs what it holds (the
// catalog and the indexes; a long list of row ids is held once, in room counted ahead), not
// a document of many times N: values under unknown keys are passed over
// unbuilt, and only a CHECK predicate or a retrieval descriptor (small where the library
// writes them; at most 16 descriptors are built) becomes a document, one at a time.
//
// Invariants: for every text, the outcome is read_manifest_json's: the same Manifest (its
// tables' "indexes" left empty, their contents in `indexes`, one SecondaryIndex per entry
// built as from_pairs builds it) or the same refusal text: a syntax or nesting fault
// anywhere before any other fault; then the faults a structure's fields give, in the field
// order that reader checks them; a repeated known key, a missing required one, a wrong JSON
// type or length, unknown keys skipped, a structure written as the array of its field values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "storage/secondary_index.h"
#include "table/manifest.h"

namespace qm::db {

// One inline index of a table, built from its stored pairs.
struct StoredIndex {
  std::string column;
  storage::SecondaryIndex index;
};

struct ManifestWithIndexes {
  Manifest manifest;  // every table's "indexes" empty
  // Per table of manifest.tables, its inline indexes in stored order (a later entry for a
  // column replaces an earlier one when the tables are built).
  std::vector<std::vector<StoredIndex>> indexes;
};

// Every refusal is ErrorKind::Manifest with read_manifest_json's text.
Result<ManifestWithIndexes> read_manifest_with_indexes(std::string_view text);

}  // namespace qm::db
