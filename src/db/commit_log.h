// The commit log as the database offers it: turning it on, its status, the change feed and
// pruning. Turning it on writes nothing: the next transaction's page journal creates the log.
#pragma once

#include <cstdint>
#include <string>

#include "core/error.h"
#include "journal/feed.h"
#include "table/limits.h"

namespace qm::db {

class Database;

// Turns the log on for the next transactions; writes nothing by itself.
Result<void> enable_commit_log(Database& db, const CommitLogOptions& limits);
Result<journal::CommitLogStatus> commit_log_status(const Database& db);
// Up to `max` committed records after the sequence `after`, as a JSON array.
Result<std::string> changes_since_json(const Database& db, uint64_t after, uint64_t max);
// Drops the retained commits through `through` (the replica has them).
Result<void> prune_changes(Database& db, uint64_t through);

}  // namespace qm::db
