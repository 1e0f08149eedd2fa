// The persisted retrieval indexes of a database as the db layer keeps them: building an
// entry from its table's visible rows, checking the manifest's descriptors and (on a
// workspace) their blob files before anything is read, loading every index at open and
// import by rebuilding it from its table and proving the stored envelope agrees, publishing
// changed entries into the blob store at flush, and the descriptors the manifest lists.
//
// Invariants: a stored index is never taken on trust nor silently rebuilt: any disagreement
// between an envelope, its descriptor and its table fails the load with
// "persistent retrieval: {} is stale or disagrees with its authoritative table". The
// manifest names an index only once its current state is in the blob store.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json_reader.h"
#include "table/manifest.h"
#include "table/table.h"
#include "retrieval/catalog_entry.h"
#include "storage/cas_store.h"
#include "storage/page_cache.h"

namespace qm::db {

// The manifest's descriptor list, read strictly (a shape fault is a Manifest error) and
// checked against its clock, blob hashes and blob extents.
Result<std::vector<persistent::Descriptor>> retrieval_descriptors_of(const Manifest& m);

// Workspace only: each descriptor's blob must be a plain file of the declared size.
Result<void> preflight_retrieval_blobs(const std::string& dir, const Manifest& m);

// A new entry holding every row of the definition's table visible at `snapshot`; the walk
// is bounded like a retrieval query (100000 scanned versions).
Result<persistent::CatalogEntry> build_retrieval_entry(storage::PageCache& cache, const storage::CasStore& cas,
                                                       const TableMap& tables,
                                                       const persistent::RetrievalIndexDefinition& definition,
                                                       uint64_t snapshot);

// Every descriptor of the manifest, rebuilt from its table and verified against its envelope.
Result<persistent::Catalog> load_retrieval_catalog(storage::PageCache& cache, const storage::CasStore& cas,
                                                   const TableMap& tables, const Manifest& m);

// The same after another handle changed the workspace, from the catalog this handle holds:
// an index whose descriptor is the one it holds, published, over a table not in `changed`,
// is kept as it is (taken out of `known`); every other one is loaded as above. On an error
// `known` is as it was.
using ChangedTables = std::set<std::string, std::less<>>;
Result<persistent::Catalog> follow_retrieval_catalog(storage::PageCache& cache, const storage::CasStore& cas,
                                                     const TableMap& tables, const Manifest& m,
                                                     persistent::Catalog& known, const ChangedTables& changed);

// Encodes every entry with unpublished changes, or whose publication was deferred, into the
// blob store. A memory database defers (`defer`): an entry already placed in the store is
// published without encoding until something reads the store (a bake, the statistics).
Result<void> publish_retrieval(persistent::Catalog& catalog, storage::CasStore& cas, bool defer = false);
// Before an entry leaves the catalog: a deferred publication is encoded into its slot, which
// then holds the envelope it was last published with (for an entry changed since, the state
// its transaction began from, which its undo log gives back).
Result<void> settle_deferred(const persistent::CatalogEntry& entry, storage::CasStore& cas);
// Only the deferred publications, leaving unpublished changes as they are.
Result<void> resolve_deferred_retrieval(persistent::Catalog& catalog, storage::CasStore& cas);

// The manifest's "retrieval_indexes" of a fully published catalog.
Result<std::vector<JsonNode>> retrieval_manifest_nodes(const persistent::Catalog& catalog);

}  // namespace qm::db
