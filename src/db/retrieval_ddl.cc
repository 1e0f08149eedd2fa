// Creating and dropping persisted retrieval indexes. Each is one atomic mutation: its own
// transaction outside one, and inside an explicit transaction a failure rolls it back; the
// new entry is published by the flush at the end of the mutation or at commit.
#include <string>

#include "db/database.h"
#include "db/retrieval_catalog.h"
#include "db/transaction/transaction.h"
#include "db/retrieval_maintenance.h"
#include "persistent/envelope.h"
#include "retrieval/definition_json.h"

namespace qm::db {
namespace {

inline constexpr size_t kMaxRetrievalIndexes = 16;
inline constexpr size_t kMaxDefinitionBytes = 8192;

}  // namespace

Result<void> Database::create_retrieval_index(const retrieval::RetrievalIndexDefinition& definition) {
  { QM_ASSIGN(auto scope, begin_mutation()); }
  QM_TRY(definition.validate());
  // A definition too long to store would only be found at the flush, as corruption.
  std::string json;
  JsonWriter w(json);
  retrieval::write_definition(w, definition);
  if (json.size() > kMaxDefinitionBytes)
    return fail(QmError::schema("retrieval index definition exceeds 8 KiB"));
  if (catalog_.retrieval().contains(definition.name))
    return fail(QmError::schema("retrieval index `" + definition.name + "` already exists"));
  if (catalog_.retrieval().size() >= kMaxRetrievalIndexes)
    return fail(QmError::resource_limit("at most 16 persistent retrieval indexes per database"));
  QM_ASSIGN(persistent::CatalogEntry entry,
            build_retrieval_entry(store_.cache, store_.cas, catalog_.tables(), definition, clock_));
  const uint64_t built_at = clock_;
  return atomic_mutation([&](Database& db) -> Result<void> {
    QM_ASSIGN(auto scope, db.begin_mutation());
    if (db.clock_ != built_at)
      return fail(QmError::transaction(
          "the workspace was changed by another handle or process while the statement ran; run it again"));
    if (db.transaction_) db.transaction_->retrieval_catalog_changing(db.catalog_.retrieval());
    db.catalog_.retrieval().emplace(definition.name, std::move(entry));
    db.retrieval_pending_->refresh(db.catalog_);
    return db.end_mutation();
  });
}

Result<void> Database::drop_retrieval_index(const std::string& name) {
  { QM_ASSIGN(auto scope, begin_mutation()); }
  if (!catalog_.retrieval().contains(name))
    return fail(QmError::schema("retrieval index `" + name + "` does not exist"));
  return atomic_mutation([&](Database& db) -> Result<void> {
    QM_ASSIGN(auto scope, db.begin_mutation());
    if (auto it = db.catalog_.retrieval().find(name); it != db.catalog_.retrieval().end())
      QM_TRY(settle_deferred(it->second, db.store_.cas));
    if (db.transaction_) db.transaction_->retrieval_catalog_changing(db.catalog_.retrieval());
    db.catalog_.retrieval().erase(name);
    db.retrieval_pending_->refresh(db.catalog_);
    return db.end_mutation();
  });
}

}  // namespace qm::db
