// The transaction calls of the C interface.
#include <cstdint>

#include "ffi/db_handle.h"
#include "ffi/export.h"
#include "ffi/frame.h"
#include "ffi/handle_use.h"

namespace {

template <class Op>
int run(QmDb* db, const char* name, Op op) {
  return qm::ffi::entry<int>(0, [&]() -> int {
    if (db == nullptr) {
      qm::ffi::set_last_error(std::string(name) + ": db handle is NULL");
      return 0;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      qm::ffi::set_last_error(qm::ffi::handle_in_use());
      return 0;
    }
    if (qm::ffi::refused(*db)) return 0;
    auto r = op(db->db);
    if (!r) {
      qm::ffi::set_last_error(r.error());
      return 0;
    }
    return 1;
  });
}

}  // namespace

extern "C" {

QM_EXPORT int qm_begin_transaction(QmDb* db) {
  return run(db, "qm_begin_transaction", [](qm::db::Database& d) { return d.begin_transaction(); });
}

QM_EXPORT int qm_commit_transaction(QmDb* db) {
  return run(db, "qm_commit_transaction", [](qm::db::Database& d) { return d.commit_transaction(); });
}

QM_EXPORT int qm_rollback_transaction(QmDb* db) {
  return run(db, "qm_rollback_transaction", [](qm::db::Database& d) { return d.rollback_transaction(); });
}

QM_EXPORT bool qm_in_transaction(QmDb* db) {
  return qm::ffi::entry<bool>(false, [&] {
    if (db == nullptr) {
      qm::ffi::set_last_error("qm_in_transaction: db handle is NULL");
      return false;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      qm::ffi::set_last_error(qm::ffi::handle_in_use());
      return false;
    }
    if (qm::ffi::refused(*db)) return false;
    return db->db.in_transaction();
  });
}

QM_EXPORT uint64_t qm_current_tx(QmDb* db) {
  return qm::ffi::entry<uint64_t>(0, [&]() -> uint64_t {
    if (db == nullptr) {
      qm::ffi::set_last_error("qm_current_tx: db handle is NULL");
      return 0;
    }
    qm::ffi::HandleUse use(db->in_use);
    if (!use) {
      qm::ffi::set_last_error(qm::ffi::handle_in_use());
      return 0;
    }
    if (qm::ffi::refused(*db)) return 0;
    return db->db.clock();
  });
}

}  // extern "C"
