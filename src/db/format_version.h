// Format versions: the ladder of persisted features a reader must understand (1 to 8),
// the check every opened manifest passes, and the versions a database writes.
//
// Ladder: 1 plain tables, pages, blobs, inline index pairs; 2 an index region or binary
// indexes; 3 UNIQUE or NOT NULL columns; 4 defaults or CHECKs; 5 cold pages or a
// compaction cursor; 6 declared only; 7 a commit sequence; 8 persisted retrieval indexes.
// A manifest may declare more than it needs, never less; at 8 and above the
// "logged_workspace" marker must agree with the presence of "commit_sequence".
#pragma once

#include <cstdint>

#include "core/error.h"
#include "table/limits.h"
#include "table/manifest.h"

namespace qm::db {


// What a table's schema and chain need: 3, 4 or 5, or 1 when nothing beyond plain rows.
uint16_t table_feature_level(bool unique_or_not_null, bool defaults_or_checks, bool cold_pages_or_cursor);
uint16_t table_feature_level(const TableMeta& t);

// The version a manifest's contents require by the ladder.
uint16_t required_format_version(const Manifest& m);

// Run on every manifest that is opened; every failure is Corruption.
Result<void> check_manifest_version(const Manifest& m);

// An image header's version must equal its manifest's.
Result<void> check_header_manifest_version(uint16_t header_version, const Manifest& m);

}  // namespace qm::db
