// Lays down what an earlier version's workspace transaction left on disk, so the tests can
// check that the library recovers it (db/atomicity/copy_tree_files.h).
#pragma once

#include <string>

#include "core/error.h"

namespace qm::test {

// Builds the backup and publishes the recovery marker, as an earlier version's begin did:
// the live items copied in kBackupItems order (blob files linked), every file and directory
// flushed, the marker written, flushed, renamed into place and the directory flushed.
// Refused while a marker is already there (Transaction).
Result<void> prepare_workspace_transaction(const std::string& workspace);

}  // namespace qm::test
