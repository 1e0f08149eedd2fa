// The commit-log calls of the C interface: turning the log on (0 takes a limit's default),
// its status, the change feed and pruning. Each checks its handle first with a fixed text.
#include <cstdint>
#include <string>

#include "db/database.h"
#include "ffi/db_handle.h"
#include "ffi/export.h"
#include "ffi/frame.h"
#include "ffi/handle_use.h"
#include "db/commit_log.h"

namespace {

using qm::ffi::set_last_error;

template <class Op>
int run_int(QmDb* db, const char* name, Op op) {
  return qm::ffi::entry<int>(0, [&]() -> int {
    if (db == nullptr) {
      set_last_error(std::string(name) + ": db handle is NULL");
      return 0;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      set_last_error(qm::ffi::handle_in_use());
      return 0;
    }
    if (qm::ffi::refused(*db)) return 0;
    auto r = op(db->db);
    if (!r) {
      set_last_error(r.error());
      return 0;
    }
    return 1;
  });
}

template <class Op>
char* run_text(QmDb* db, const char* name, Op op) {
  return qm::ffi::entry<char*>(nullptr, [&]() -> char* {
    if (db == nullptr) {
      set_last_error(std::string(name) + ": null handle");
      return nullptr;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      set_last_error(qm::ffi::handle_in_use());
      return nullptr;
    }
    if (qm::ffi::refused(*db)) return nullptr;
    qm::Result<std::string> r = op(db->db);
    if (!r) {
      set_last_error(r.error());
      return nullptr;
    }
    return qm::ffi::string_to_c(*r);
  });
}

}  // namespace

extern "C" {

QM_EXPORT int qm_enable_commit_log(QmDb* db, uint64_t max_transaction_bytes, uint64_t max_retained_bytes,
                                   uint64_t max_retained_commits) {
  return run_int(db, "qm_enable_commit_log", [&](qm::db::Database& d) {
    const qm::db::CommitLogOptions defaults;
    qm::db::CommitLogOptions limits;
    limits.max_transaction_bytes = max_transaction_bytes ? max_transaction_bytes : defaults.max_transaction_bytes;
    limits.max_retained_bytes = max_retained_bytes ? max_retained_bytes : defaults.max_retained_bytes;
    limits.max_retained_commits = max_retained_commits ? max_retained_commits : defaults.max_retained_commits;
    return enable_commit_log(d, limits);
  });
}

QM_EXPORT char* qm_commit_log_status(QmDb* db) {
  return run_text(db, "qm_commit_log_status", [](qm::db::Database& d) -> qm::Result<std::string> {
    QM_ASSIGN(auto status, commit_log_status(d));
    return qm::journal::status_json(status);
  });
}

QM_EXPORT char* qm_changes_since(QmDb* db, uint64_t after, uint64_t max) {
  return run_text(db, "qm_changes_since",
                  [&](qm::db::Database& d) { return changes_since_json(d, after, max); });
}

QM_EXPORT int qm_prune_changes(QmDb* db, uint64_t through) {
  return run_int(db, "qm_prune_changes", [&](qm::db::Database& d) { return prune_changes(d, through); });
}

}  // extern "C"
