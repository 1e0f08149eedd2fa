// The catalog rebuild at open: the manifest's TableMeta records become the in-memory Table
// map with its secondary indexes, every stored schema and chain bound is checked, and each
// index comes from an image's binary index region, from pairs stored inline in the manifest
// or, only when neither holds it, from a rescan of the table's pages. Also the verified walk
// that collects a table's page ids on first need, and the bounds of an image's blob pool and
// index region.
//
// Invariants: a table whose indexes are all stored costs no page read at open beyond its
// tail page (writable mode); a rebuild returns the whole map or the first error, never a
// partial map; every chain walk is bounded by the backend's page count plus one.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "core/error.h"
#include "core/record_envelope.h"
#include "table/manifest.h"
#include "table/manifest_stream.h"
#include "table/table.h"
#include "storage/cas_store.h"
#include "storage/page_cache.h"

namespace qm::db {

// Writable mode (workspace, imported image) holds each tail page and indexes every UNIQUE
// column; read-only mode (production image) holds no tail page and indexes only the
// manifest's "indexed_columns". `index_region` is empty when the image has none. A table's
// inline indexes come from its "indexes" pairs, or, when `built` is given (one entry per
// table, read_manifest_with_indexes), are taken from there.
Result<TableMap> build_tables(storage::PageCache& cache, const storage::CasStore& cas, const Manifest& manifest,
                              bool writable, std::span<const uint8_t> index_region,
                              std::vector<std::vector<StoredIndex>>* built = nullptr);


// Fills table.page_ids once with the chain's pages, checking the walk (cycles, pages outside
// the backend, cold-page count, the tail and the compaction cursor). The tail page is read
// from the table's in-memory copy when it holds one, since the cached page may be stale.
Result<void> ensure_table_page_ids(storage::PageCache& cache, const Table& table);

// The end of an image's blob pool: the index region's offset, else the manifest offset M;
// it must lie in [E, M] ("CAS pool / index region bounds are inconsistent").
Result<uint64_t> cas_pool_end(const Manifest& manifest, uint64_t pages_end, uint64_t manifest_offset);

// The index region's bytes inside the image (empty without one).
Result<std::span<const uint8_t>> slice_index_region(std::span<const uint8_t> image, const Manifest& manifest,
                                                    uint64_t pages_end, uint64_t manifest_offset);

// The two directions of one table's catalog record: its schema and chain bounds (not its
// indexes, which each side keeps in its own form).
TableMeta table_meta_of(const std::string& name, const Table& table);
Table table_of(const TableMeta& meta);

}  // namespace qm::db
