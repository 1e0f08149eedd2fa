// QmDb: the C handle of an open database. It owns the Database from the open call (or
// qm_import) until qm_close; every export that takes a handle reaches the database here,
// holding the handle's in-use mark for the call (ffi/handle_use.h).
#pragma once

#include <atomic>
#include <utility>

#include "db/database.h"

struct QmDb {
  explicit QmDb(qm::db::Database database) : db(std::move(database)) {}
  qm::db::Database db;
  std::atomic<bool> in_use{false};
};
