// The field names of the manifest's structures, in their field order, shared by its readers
// so that both take a structure written as an array of its field values the same way.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace qm::db::manifest_fields {

enum TableField : size_t {
  kName, kColumns, kUnique, kNotNull, kDefaults, kChecks, kFirstPage, kTailId, kRowVersions,
  kColdPages, kCompactionCursor, kIndexedColumns, kIndexes, kBinaryIndexes, kTableFieldCount
};
inline constexpr std::array<std::string_view, kTableFieldCount> kTableFields = {
    "name",       "columns",    "unique_columns",    "not_null_columns", "defaults",
    "checks",     "first_page", "tail_id",           "row_versions",     "cold_pages",
    "compaction_cursor", "indexed_columns", "indexes", "binary_indexes"};

enum ManifestField : size_t {
  kFormatVersion, kClock, kCommitSequence, kLoggedWorkspace, kPageCount, kTables, kCasHashes,
  kCasDir, kIndexRegion, kRetrievalIndexes, kManifestFieldCount
};
inline constexpr std::array<std::string_view, kManifestFieldCount> kManifestFields = {
    "format_version", "clock",      "commit_sequence", "logged_workspace", "page_count",
    "tables",         "cas_hashes", "cas_dir",         "index_region",     "retrieval_indexes"};

inline constexpr std::array<std::string_view, 2> kPersistedIndexFields = {"column", "pairs"};
inline constexpr std::array<std::string_view, 3> kBinIndexFields = {"column", "offset", "len"};

// A structure written as an array with more elements than it has fields.
inline constexpr std::string_view kLongerArray = "trailing characters";

}  // namespace qm::db::manifest_fields
