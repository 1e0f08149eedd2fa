// Statistics of an open database: format version, storage mode, page allocation, page cache,
// blob store, and per table its live rows, pages, page fill, columnar share and indexes.
// Reading them changes nothing but page-cache residency; every sum saturates; the first error
// ends the whole operation and nothing partial is returned. The tail page is measured from
// the table's in-memory copy, as scans read it (the cached page may be stale).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json_writer.h"

namespace qm::db {

struct BufferPoolStats {
  uint64_t capacity_pages = 0;
  uint64_t resident_pages = 0;
};

struct CasStats {
  uint64_t blobs = 0;
  uint64_t stored_bytes = 0;
};

struct CompressionStats {
  std::string codec;  // "row-slotted", "columnar-packed" or "row+columnar-packed"
  uint64_t compressed_pages = 0;
  uint64_t saved_bytes = 0;
};

struct IndexStats {
  std::string column;
  uint64_t entries = 0;
  uint64_t distinct_keys = 0;
  uint64_t encoded_bytes = 0;
};

struct TableStats {
  std::string name;
  std::vector<std::string> columns;
  uint64_t live_rows = 0;
  uint64_t row_versions = 0;
  uint64_t pages = 0;
  uint64_t used_page_bytes = 0;
  uint64_t free_page_bytes = 0;
  CompressionStats compression;
  std::vector<IndexStats> indexes;
};

struct DatabaseStats {
  uint16_t format_version = 1;
  uint64_t current_transaction = 0;
  std::string storage_mode;
  bool writable = true;
  uint64_t page_size = 4096;
  uint64_t allocated_pages = 0;
  uint64_t allocated_page_bytes = 0;
  uint64_t orphaned_pages = 0;
  BufferPoolStats buffer_pool;
  CasStats cas;
  std::vector<TableStats> tables;
  // Each retrieval index's description, already as JSON (in index-name order).
  std::vector<std::string> retrieval_indexes;
};

// Compact JSON with the keys in field order.
void write_stats_json(JsonWriter& w, const DatabaseStats& s);
std::string stats_to_json(const DatabaseStats& s);

// The figures of one stored page.
struct PageUsage {
  std::optional<uint64_t> next;
  uint64_t used = 0;
  uint64_t free = 0;
  bool columnar = false;
  uint64_t saved = 0;
};
// Row page: free = free_space_ptr - (28 + 4 x slots), used = 4096 - free; columnar page: used
// = its encoded length, saved = source page size - encoded length. BufferTooSmall {28, len},
// Corruption "row page header out of range: ...", the columnar validation, InvalidPageType.
Result<PageUsage> page_usage(std::span<const uint8_t> bytes);

class Database;
// The statistics of the database as the handle sees it (a workspace is read under its lock).
Result<DatabaseStats> inspect_stats(Database& db);

}  // namespace qm::db
