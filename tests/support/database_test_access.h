// DatabaseTestAccess: the flags and parts of a Database below its face, for tests that set
// up or inspect a state no statement reaches (a clock moved by hand, the manifest write
// mode, a registered observer, the open transaction).
#pragma once

#include <cstdint>
#include <memory>

#include "db/database.h"

namespace qm::db {

struct DatabaseTestAccess {
  static bool atomic_manifest(const Database& db) { return db.atomic_manifest(); }
  static bool last_write_atomic(const Database& db) { return db.last_write_atomic(); }
  static uint16_t format_version(const Database& db) { return db.format_version(); }
  static bool manifest_file_cached(const Database& db) { return db.manifest_file_cached(); }
  static void set_atomic_manifest(Database& db, bool on) { db.set_atomic_manifest(on); }
  static void set_clock(Database& db, uint64_t value) { db.set_clock(value); }
  static Transaction* transaction_state(Database& db) { return db.transaction_state(); }
  static uint64_t commits_followed(const Database& db) { return db.commits_followed_; }
  static void add_write_observer(Database& db, std::unique_ptr<WriteObserver> observer) {
    db.add_write_observer(std::move(observer));
  }
};

}  // namespace qm::db
