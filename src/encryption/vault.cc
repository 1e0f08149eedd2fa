#include "encryption/vault.h"

#include <sodium.h>

#include "encryption/sealed_database.h"
#include "sql/params.h"
#include "sql/parser.h"
#include "query/statements/statements.h"
#include "db/stats.h"

namespace qm::encryption {
namespace {

bool is_single_select(const sql::Statement& s) {
  return std::holds_alternative<sql::SelectSingleStmt>(s.node);
}

bool within_bounds(const VaultStatement& s) {
  return s.sql.size() <= kMaxVaultSql && s.params.size() <= kMaxVaultParams;
}

Result<sql::Statement> bind_and_parse(std::string_view sql, std::span<const Value> params) {
  QM_ASSIGN(std::string bound, sql::bind_params(sql, params));
  return sql::parse(bound);
}

// Everything after the last '/', trailing separators ignored; "" when there is no file name.
std::pair<std::string, std::string> split_file_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  std::string_view dir = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") name = {};
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  return {std::string(dir.empty() ? "." : dir), std::string(name)};
}

}  // namespace

db::QueryLimits vault_limits() { return db::kRetrievalCaps; }

// ---- the path and its lock ----------------------------------------------------------------

Result<std::pair<std::string, fs::File>> acquire_vault_path(const std::string& path) {
  fs::FileSystem& fsys = fs::get();
  auto [dir, name] = split_file_name(path);
  if (name.empty()) return fail(snapshot_error("vault requires a file name"));
  QM_ASSIGN(std::string canonical, fsys.canonical_dir(dir));
  std::string vault_path = fs::join(canonical, name);
  QM_ASSIGN(auto entry, fsys.lstat(vault_path));
  if (entry && entry->kind != fs::EntryKind::Regular) return fail(snapshot_error("vault must be a regular file"));
  std::string lock_path = vault_path + ".qmlock";
  if (auto lock_entry = fsys.lstat(lock_path); lock_entry && *lock_entry && (*lock_entry)->kind != fs::EntryKind::Regular)
    return fail(snapshot_error("invalid lock file"));
  // No link followed and no wait on a FIFO, and the descriptor itself checked: an entry
  // swapped in after the look above is refused, never used.
  QM_ASSIGN(fs::File lock, fsys.open(lock_path, fs::kRead | fs::kWrite | fs::kCreate | fs::kNoFollow | fs::kNonBlock, 0600));
  QM_ASSIGN(fs::Stat st, lock.stat());
  if (st.kind != fs::EntryKind::Regular) return fail(snapshot_error("invalid lock file"));
  // Only a lock held elsewhere means "already open"; any other failure names its own cause.
  QM_ASSIGN(bool locked, lock.try_lock_exclusive());
  if (!locked) {
    lock.close();
    return fail(QmError::transaction("vault is already open or cannot be locked"));
  }
  return std::pair<std::string, fs::File>(std::move(vault_path), std::move(lock));
}

// ---- open, create, close ------------------------------------------------------------------

Result<Vault> Vault::open(const std::string& path, Secret secret) {
  // On any failure the lock file closes (releasing the lock) and the secret is wiped as the
  // locals go.
  QM_ASSIGN(auto acquired, acquire_vault_path(path));
  Digest hash{};
  QM_ASSIGN(db::Database db, open_database_file(acquired.first, secret, hash));
  return Vault(std::move(db), std::move(acquired.first), std::move(secret), hash, std::move(acquired.second));
}

Result<Vault> Vault::create(const std::string& path, Secret secret) {
  QM_ASSIGN(auto acquired, acquire_vault_path(path));
  db::Database db = db::Database::open_memory();
  Digest hash{};
  QM_ASSIGN(SecureBytes envelope, seal_database(db, secret, &hash));
  QM_TRY(publish(acquired.first, envelope.span(), false));
  return Vault(std::move(db), std::move(acquired.first), std::move(secret), hash, std::move(acquired.second));
}

Vault::~Vault() {
  // Released explicitly, not only by the close, so the order is certain; a failure to unlock
  // changes nothing (the close releases it too).
  if (lock_.is_open()) (void)lock_.unlock();
}

Result<void> Vault::refuse_poisoned() const {
  if (poisoned_) return fail(QmError::outcome_unknown("reopen the vault before further operations"));
  return {};
}

// ---- reads --------------------------------------------------------------------------------

Result<QueryResult> Vault::query(std::string_view sql, std::span<const Value> params) {
  QM_TRY(refuse_poisoned());
  if (sql.size() > kMaxVaultSql || params.size() > kMaxVaultParams)
    return fail(QmError::resource_limit("vault query limits exceeded"));
  QM_ASSIGN(sql::Statement statement, bind_and_parse(sql, params));
  if (!is_single_select(statement))
    return fail(QmError::query("vault query requires SELECT; use a transaction for writes"));
  return query_with_limits_cancellable(db_, sql, params, vault_limits(), nullptr);
}

Result<db::DatabaseStats> Vault::inspect() {
  QM_TRY(refuse_poisoned());
  return inspect_stats(db_);
}

Result<std::string> Vault::retrieve_json(std::string_view request) {
  QM_TRY(refuse_poisoned());
  return retrieve_with_limits(db_, request, vault_limits());
}

// ---- writes -------------------------------------------------------------------------------

Result<std::vector<QueryResult>> Vault::execute_batch(std::span<const VaultStatement> statements) {
  if (statements.empty() || statements.size() > kMaxVaultBatch ||
      !std::all_of(statements.begin(), statements.end(), within_bounds))
    return fail(QmError::resource_limit("vault batch requires 1..=256 bounded statements"));
  QM_TRY(refuse_poisoned());
  QM_ASSIGN(db::Database candidate, copy_database(db_));
  QM_ASSIGN(std::vector<QueryResult> results,
            candidate.transaction([&](db::Database& c) -> Result<std::vector<QueryResult>> {
              std::vector<QueryResult> out;
              out.reserve(statements.size());
              for (const VaultStatement& s : statements) {
                QM_ASSIGN(sql::Statement statement, bind_and_parse(s.sql, s.params));
                if (is_single_select(statement))
                  return fail(QmError::query("use query for SELECT, not a write batch"));
                auto r = query_with_limits_cancellable(c, s.sql, s.params, vault_limits(), nullptr);
                if (!r) return fail(std::move(r).error());
                out.push_back(std::move(*r));
              }
              return out;
            }));
  if (candidate.storage_mode() != db::StorageMode::Memory)
    return fail(snapshot_error("vault candidate must remain in memory"));
  QM_ASSIGN(SecureBytes envelope, bake_envelope(candidate));
  QM_TRY(seal_and_persist(envelope));
  db_ = std::move(candidate);
  return results;
}

Result<void> Vault::check_file_unchanged() {
  QM_ASSIGN(Digest seen, hash_file(path_));
  // Constant time over all 32 bytes.
  if (sodium_memcmp(seen.data(), file_hash_.data(), seen.size()) != 0) {
    poisoned_ = true;
    return fail(QmError::transaction("vault changed outside this handle; reopen it"));
  }
  return {};
}

Result<void> Vault::persist(std::span<const uint8_t> envelope, const Digest& envelope_hash) {
  QM_TRY(refuse_poisoned());
  QM_TRY(check_file_unchanged());
  if (auto published = publish(path_, envelope, true); !published) {
    if (published.error().is(ErrorKind::TransactionOutcomeUnknown)) poisoned_ = true;
    return published;
  }
  file_hash_ = envelope_hash;
  return {};
}

Result<void> Vault::seal_and_persist(SecureBytes& envelope) {
  // As seal_database and persist, in one pass: the key is ready and the file checked before
  // the first byte is encrypted and written.
  auto published = seal_and_publish(envelope.span(), secret_, path_, true, [&]() -> Result<void> {
    QM_TRY(refuse_poisoned());
    return check_file_unchanged();
  });
  if (!published) {
    if (published.error().is(ErrorKind::TransactionOutcomeUnknown)) poisoned_ = true;
    return fail(std::move(published).error());
  }
  envelope.declassify();  // ciphertext now
  file_hash_ = *published;
  return {};
}

Result<void> Vault::backup(const std::string& path) {
  QM_TRY(refuse_poisoned());
  QM_ASSIGN(SecureBytes envelope, seal_database(db_, secret_));
  {
    QM_ASSIGN(db::Database check, open_database(envelope.span(), secret_));
    QM_TRY(inspect_stats(check));
  }
  return publish(path, envelope.span(), false);
}

Result<void> Vault::rotate_key(Secret next) {
  QM_TRY(refuse_poisoned());
  Digest hash{};
  QM_ASSIGN(SecureBytes envelope, seal_database(db_, next, &hash));
  {
    QM_ASSIGN(db::Database check, open_database(envelope.span(), next));
    QM_TRY(inspect_stats(check));
  }
  QM_TRY(persist(envelope.span(), hash));
  secret_ = std::move(next);  // the old secret is wiped as it is replaced
  return {};
}

}  // namespace qm::encryption
