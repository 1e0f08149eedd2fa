// Store: where one open database keeps its bytes: the page cache over its backend
// (workspace chunk files, memory pages or a mapped image) and the blob store. It knows
// nothing of tables; the catalog says which pages form which table.
//
// Invariant: the cache and the blob store belong to the same database and are replaced
// together (open, reload after another handle's commit, rollback).
#pragma once

#include <utility>

#include "table/limits.h"
#include "storage/cas_store.h"
#include "storage/page_cache.h"

namespace qm::db {

struct Store {
  storage::CasStore cas;
  // Declared last, so destroyed first, before the blob store its pages refer to.
  storage::PageCache cache;

  Store(storage::PageCache page_cache, storage::CasStore blobs)
      : cas(std::move(blobs)), cache(std::move(page_cache)) {}
};

}  // namespace qm::db
