// Vault: an open encrypted database. The envelope file is decrypted into a memory database
// that lives as long as the handle; an exclusive advisory lock on "<file>.qmlock" beside it
// keeps every other handle and process out. Reads run on the live database; a write batch
// runs on a copy, and only once the copy is sealed and published does it replace the live
// one, so a failed batch leaves database and file as they were.
//
// Invariants:
// - `file_hash` is the BLAKE3 of the envelope this handle last read or wrote; before every
//   publish the file is read again and compared, so a writer that ignored the lock is caught;
// - once poisoned (the file changed behind the handle, or a publish whose durability is
//   unknown) every operation fails until the vault is reopened;
// - the lock is held from open to destruction; the secret is wiped when replaced or dropped.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/blake3.h"
#include "core/fs.h"
#include "core/query_result.h"
#include "db/database.h"
#include "encryption/envelope.h"

namespace qm::encryption {

inline constexpr size_t kMaxVaultSql = 65536;
inline constexpr size_t kMaxVaultParams = 256;
inline constexpr size_t kMaxVaultBatch = 256;

// The limits every vault query, batch statement and retrieval runs under.
db::QueryLimits vault_limits();

struct VaultStatement {
  std::string sql;
  std::vector<Value> params;
};

class Vault {
 public:
  static Result<Vault> open(const std::string& path, Secret secret);
  // A new, empty vault; an existing file makes it fail with an i/o error.
  static Result<Vault> create(const std::string& path, Secret secret);

  Vault(Vault&&) noexcept = default;
  Vault& operator=(Vault&&) noexcept = delete;
  Vault(const Vault&) = delete;
  Vault& operator=(const Vault&) = delete;
  ~Vault();

  // One single-table SELECT under the vault limits.
  Result<QueryResult> query(std::string_view sql, std::span<const Value> params);
  // All statements in one transaction on a copy; published before it returns.
  Result<std::vector<QueryResult>> execute_batch(std::span<const VaultStatement> statements);
  Result<db::DatabaseStats> inspect();
  // A verified envelope of the current contents, written to a new file.
  Result<void> backup(const std::string& path);
  // Reseals the file under a new secret; on failure the old one stays in use.
  Result<void> rotate_key(Secret next);
  Result<std::string> retrieve_json(std::string_view request);

  const std::string& path() const { return path_; }
  bool poisoned() const { return poisoned_; }

 private:
  Vault(db::Database db, std::string path, Secret secret, const Digest& hash, fs::File lock)
      : db_(std::move(db)), path_(std::move(path)), secret_(std::move(secret)), file_hash_(hash),
        lock_(std::move(lock)) {}

  Result<void> refuse_poisoned() const;
  // Re-reads the file, compares it with file_hash, publishes the envelope over it; the
  // envelope's BLAKE3 (taken when it was sealed) becomes file_hash.
  Result<void> persist(std::span<const uint8_t> envelope, const Digest& envelope_hash);
  // persist for a baked, not yet sealed envelope (bake_envelope): sealed and published in one
  // pass (seal_and_publish), the file checked first.
  Result<void> seal_and_persist(SecureBytes& envelope);
  // Hashes the file and compares it with file_hash; a difference poisons the handle.
  Result<void> check_file_unchanged();

  db::Database db_;
  std::string path_;
  Secret secret_;
  Digest file_hash_{};
  fs::File lock_;
  bool poisoned_ = false;
};

// The canonical vault path and its locked lock file (exposed for tests).
Result<std::pair<std::string, fs::File>> acquire_vault_path(const std::string& path);

// Hands a retrieval request to the retrieval engine under the vault limits.
Result<std::string> retrieve_with_limits(db::Database& db, std::string_view request, const db::QueryLimits& limits);

}  // namespace qm::encryption
