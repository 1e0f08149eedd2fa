// Recovery of the workspace transaction layout that earlier versions of the library left
// behind. Their transactions began by copying the live database files (qm_manifest.json,
// chunks, blobs), every file and directory flushed, into `.qm_transaction_backup`, and
// publishing the recovery marker `.qm_transaction_active` ("QMTX1\n") by write, flush, rename
// and directory flush. While the marker exists the backup is the authoritative state: the next
// open (or the next locked step of any handle) puts it back. No transaction kind of this
// version makes that layout (a workspace keeps an undo file instead:
// db/atomicity/undo_file_transaction.cc); this file only recovers one left behind.
//
// Invariants: the three live items are always handled in the order kBackupItems gives; the
// marker is removed only after every live item is back (so an interrupted restore is redone
// in full at the next open); `.qm_transaction_active.tmp` is never authoritative.
// These functions touch only files, never a Database, and run under the transaction lock.
#pragma once

#include <array>
#include <string>

#include "core/error.h"
#include "table/limits.h"

namespace qm::db {

// The live items a backup holds, in the order they are handled.
inline constexpr std::array<const char*, 3> kBackupItems = {kManifestFile, kChunksDir, kBlobsDir};

// At open: restores an interrupted transaction, or removes a finished one's leftovers.
Result<void> recover_workspace_transaction(const std::string& workspace);
// Puts the backup back and ends the transaction (rollback and recovery).
Result<void> restore_workspace_transaction(const std::string& workspace);

// Copies one live item (an entry of kBackupItems) between the workspace and the backup, every
// copied file and directory flushed to stable storage. Blob files are hard-linked and the link
// flushed (they are never changed in place: each is written whole under a new name), or
// copied where links are refused; the rest is copied. Symbolic links and special files are
// refused (Transaction).
Result<void> copy_backup_item(const std::string& source, const std::string& destination, const char* item);
// Refuses a tree holding anything but regular files and directories.
Result<void> validate_copy_tree(const std::string& path);
// Opens a directory read-only and flushes it.
Result<void> sync_directory(const std::string& path);
// Removes a file or a directory with everything under it; a missing path is no error.
Result<void> remove_tree(const std::string& path);

}  // namespace qm::db
