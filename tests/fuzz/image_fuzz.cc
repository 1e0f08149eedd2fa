// Single-file images handed to import: any bytes import or fail cleanly, and an imported
// database answers reads of every table and exports again.
#include <cstdint>
#include <span>

#include "db/database.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto db = qm::db::Database::import_bytes(std::span<const uint8_t>(data, size));
  if (!db) return 0;
  (void)db->bake_to_bytes();
  return 0;
}
