// A database sealed into an envelope and opened back: the bridge between the envelope's
// opaque image bytes and db::Database. The image buffers are wiped on every path.
#pragma once

#include <span>
#include <vector>

#include "db/database.h"
#include "encryption/envelope.h"

namespace qm::encryption {

// The envelope of the database's current contents (Transaction "cannot seal an active
// transaction" while one is open).
Result<std::vector<uint8_t>> seal_database(db::Database& db, const Secret& secret);
// A memory database decrypted from an envelope.
Result<db::Database> open_database(std::span<const uint8_t> envelope, const Secret& secret);

// Bakes the database and imports the image as an independent memory database.
Result<db::Database> copy_database(db::Database& db);

}  // namespace qm::encryption
