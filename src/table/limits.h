// The limits and on-disk names of the database layer, each defined once: workspace file
// names, format versions, schema and record bounds, catalog bounds and the default
// commit-log limits. Values that the storage layer owns are named here from their source,
// so a bound cannot drift from the storage rule it stands for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/int128.h"
#include "journal/page_journal.h"
#include "storage/page_cache.h"
#include "storage/record.h"
#include "storage/row_page.h"

namespace qm::db {

// ---- workspace names ----------------------------------------------------------------------
inline constexpr const char* kManifestFile = "qm_manifest.json";
inline constexpr const char* kManifestTmpFile = "qm_manifest.json.tmp";
inline constexpr const char* kChunksDir = "chunks";
inline constexpr const char* kBlobsDir = "blobs";
inline constexpr const char* kCommitLogDir = ".qm-log";
inline constexpr const char* kTransactionLockFile = ".qm_transaction.lock";
// Copy-tree transactions of earlier versions (still recovered): the recovery marker, its
// temporary name, its content, the backup.
inline constexpr const char* kTxMarker = ".qm_transaction_active";
inline constexpr const char* kTxMarkerTmp = ".qm_transaction_active.tmp";
inline constexpr const char* kTxMarkerBytes = "QMTX1\n";
inline constexpr const char* kTxBackup = ".qm_transaction_backup";

// ---- format versions ----------------------------------------------------------------------
inline constexpr uint16_t kMinFormatVersion = 1;
inline constexpr uint16_t kHighestFormatVersion = 8;
inline constexpr uint16_t kLoggedFormatVersion = 7;

// ---- values -------------------------------------------------------------------------------
// A Decimal's mantissa counts millionths: Int n and Decimal n * kDecimalScale are one number.
inline constexpr i128 kDecimalScale = 1000000;

// ---- tables and records -------------------------------------------------------------------
// The largest record one empty row page holds (4096 - 28 header - 4 slot).
inline constexpr uint64_t kRecordCapacity = storage::kMaxRecordSize;
inline constexpr size_t kMaxColumns = storage::record::kMaxFields;
// CHECK predicates: levels (the top node is level 1) and nodes of all CHECKs of a table (an
// IN list adds its value count). The bound keeps every stored CHECK readable by the
// manifest reader's 128-level nesting bound.
inline constexpr uint32_t kMaxCheckLevels = 32;
inline constexpr uint64_t kMaxCheckNodes = 256;
// Bound of the manifest's "retrieval_indexes" list; a longer list cannot be read at all.
inline constexpr size_t kMaxRetrievalDescriptors = 16;

// ---- execution ----------------------------------------------------------------------------
inline constexpr size_t kPageCacheCapacity = storage::PageCache::kDefaultCapacity;
// Up to this many rows an ORDER BY ... LIMIT keeps only its first rows while reading.
inline constexpr uint64_t kTopNRowsKeptWhileReading = 100000;
// Row versions a table with retrieval indexes may hold (live and retired alike).
inline constexpr uint64_t kRetrievalTableMaxVersions = 100000;

// The commit-log limits of a logged workspace.
using CommitLogOptions = journal::CommitLogOptions;

}  // namespace qm::db
