// QmDb: the C handle of an open database. It owns the Database from the open call (or
// qm_import) until qm_close; every export that takes a handle reaches the database here,
// holding the handle's in-use mark for the call (ffi/handle_use.h).
#pragma once

#include <atomic>
#include <utility>

#include "db/database.h"
#include "ffi/frame.h"

struct QmDb {
  explicit QmDb(qm::db::Database database) : db(std::move(database)) {}
  qm::db::Database db;
  std::atomic<bool> in_use{false};
};

namespace qm::ffi {

// True, with the refusal as the thread's last error, when the handle refuses every call but
// qm_close: what it holds is no longer its database ("...; reopen the database").
inline bool refused(const QmDb& handle) {
  auto usable = handle.db.refuse_unreadable();
  if (usable) return false;
  set_last_error(usable.error());
  return true;
}

}  // namespace qm::ffi
