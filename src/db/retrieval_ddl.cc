// Creating and dropping persisted retrieval indexes. Each is one atomic mutation: its own
// transaction outside one, and inside an explicit transaction a failure rolls it back; the
// new entry is published by the flush at the end of the mutation or at commit.
#include <string>

#include "db/retrieval_ddl.h"

#include "db/database.h"
#include "db/retrieval_catalog.h"
#include "db/atomicity/transaction.h"
#include "db/retrieval_maintenance.h"
#include "retrieval/index_envelope.h"
#include "retrieval/definition_json.h"

namespace qm::db {
namespace {

inline constexpr size_t kMaxRetrievalIndexes = 16;
inline constexpr size_t kMaxDefinitionBytes = 8192;

}  // namespace

Result<void> create_retrieval_index(Database& db, const retrieval::RetrievalIndexDefinition& definition) {
  { QM_ASSIGN(auto scope, db.begin_mutation()); }
  QM_TRY(definition.validate());
  // A definition too long to store would only be found at the flush, as corruption.
  std::string json;
  JsonWriter w(json);
  retrieval::write_definition(w, definition);
  if (json.size() > kMaxDefinitionBytes)
    return fail(QmError::schema("retrieval index definition exceeds 8 KiB"));
  if (db.catalog_.retrieval().contains(definition.name))
    return fail(QmError::schema("retrieval index `" + definition.name + "` already exists"));
  if (db.catalog_.retrieval().size() >= kMaxRetrievalIndexes)
    return fail(QmError::resource_limit("at most 16 persistent retrieval indexes per database"));
  QM_ASSIGN(persistent::CatalogEntry entry,
            build_retrieval_entry(db.store_.cache, db.store_.cas, db.catalog_.tables(), definition, db.clock_));
  const uint64_t built_at = db.clock_;
  return db.atomic_mutation([&](Database& d) -> Result<void> {
    QM_ASSIGN(auto scope, d.begin_mutation());
    if (d.clock_ != built_at)
      return fail(QmError::transaction(
          "the workspace was changed by another handle or process while the statement ran; run it again"));
    if (d.transaction_) d.transaction_->retrieval_catalog_changing(d.catalog_.retrieval());
    d.catalog_.retrieval().emplace(definition.name, std::move(entry));
    d.retrieval_pending_->refresh(d.catalog_);
    return d.end_mutation();
  });
}

Result<void> drop_retrieval_index(Database& db, const std::string& name) {
  { QM_ASSIGN(auto scope, db.begin_mutation()); }
  if (!db.catalog_.retrieval().contains(name))
    return fail(QmError::schema("retrieval index `" + name + "` does not exist"));
  return db.atomic_mutation([&](Database& d) -> Result<void> {
    QM_ASSIGN(auto scope, d.begin_mutation());
    if (auto it = d.catalog_.retrieval().find(name); it != d.catalog_.retrieval().end())
      QM_TRY(settle_deferred(it->second, d.store_.cas));
    if (d.transaction_) d.transaction_->retrieval_catalog_changing(d.catalog_.retrieval());
    d.catalog_.retrieval().erase(name);
    d.retrieval_pending_->refresh(d.catalog_);
    return d.end_mutation();
  });
}

}  // namespace qm::db
