// A database sealed into an envelope and opened back: the bridge between the envelope's
// opaque image bytes and db::Database. Plaintext images live only in buffers that are wiped
// on every path; sealing bakes straight into the envelope's buffer and encrypts there, and
// opening decrypts in the buffer the file was read into, so neither copies the image.
#pragma once

#include <span>
#include <string>

#include "db/database.h"
#include "encryption/envelope.h"

namespace qm::encryption {

// The envelope of the database's current contents (Transaction "cannot seal an active
// transaction" while one is open). The buffer holds ciphertext only. With `hash`, the
// envelope's BLAKE3 goes there, taken while it is encrypted.
Result<SecureBytes> seal_database(db::Database& db, const Secret& secret, Digest* hash = nullptr);
// The first half of seal_database: the image baked where an envelope holds it (see
// seal_in_place), still plaintext, in a buffer wiped when dropped.
Result<SecureBytes> bake_envelope(db::Database& db);
// A memory database decrypted from an envelope (copied; the envelope is left as it is).
Result<db::Database> open_database(std::span<const uint8_t> envelope, const Secret& secret);
// The same, decrypting in place. On success the buffer is handed to the database, which lends
// its blobs from it and wipes it when the last database lending from it goes; on failure
// `envelope` holds plaintext or nothing of use, and the caller's buffer wipes it.
Result<db::Database> open_database_in_place(SecureBytes& envelope, const Secret& secret);
// The database of an envelope file, read and decrypted in one pass (read_and_open); the
// file's BLAKE3 goes to `file_hash`.
Result<db::Database> open_database_file(const std::string& path, const Secret& secret, Digest& file_hash);

// An independent memory database equal to importing a bake of this one, made without the
// image's bytes: the pages and blobs are copied once and the blobs keep their digests.
Result<db::Database> copy_database(db::Database& db);

}  // namespace qm::encryption
