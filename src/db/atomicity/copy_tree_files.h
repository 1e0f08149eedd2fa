// Workspace copy-tree transactions of earlier versions: at begin the live database files
// (qm_manifest.json, chunks, blobs) were copied, every file and directory flushed, into
// `.qm_transaction_backup`, and the recovery marker `.qm_transaction_active` ("QMTX1\n") was
// published by write, flush, rename and directory flush. While the marker exists the backup
// is the authoritative state: the next open (or the next locked step of any handle) puts it
// back. Transactions no longer make one (db/transaction/undo_file_transaction.cc); what an
// earlier version left behind is still recovered here, and the preparation stays to lay
// such a leftover down in tests.
//
// Invariants: the three live items are always handled in the order manifest, chunks, blobs;
// the marker is removed only after every live item is back (so an interrupted restore is
// redone in full at the next open); `.qm_transaction_active.tmp` is never authoritative.
// These functions touch only files, never a Database, and run under the transaction lock.
#pragma once

#include <string>

#include "core/error.h"
#include "table/limits.h"

namespace qm::db {


// Builds the backup and publishes the marker, as an earlier version's begin did.
// `blobs_durable`: every blob file's bytes are known to be on stable storage, so linking one
// needs no flush of it.
Result<void> prepare_workspace_transaction(const std::string& workspace, bool blobs_durable = false);
// At open: restores an interrupted transaction, or removes a finished one's leftovers.
Result<void> recover_workspace_transaction(const std::string& workspace);
// Puts the backup back and ends the transaction (rollback and recovery).
Result<void> restore_workspace_transaction(const std::string& workspace);

// Recursive copy; every copied file and directory is flushed to stable storage. Symbolic
// links and special files are refused (Transaction).
Result<void> copy_tree_synced(const std::string& source, const std::string& destination);
// Refuses a tree holding anything but regular files and directories.
Result<void> validate_copy_tree(const std::string& path);
// Opens a directory read-only and flushes it.
Result<void> sync_directory(const std::string& path);
// Removes a file or a directory with everything under it; a missing path is no error.
Result<void> remove_tree(const std::string& path);

}  // namespace qm::db
