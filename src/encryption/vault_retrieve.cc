// The seam between the vault's "retrieve" request and the retrieval engine. The request has
// already been checked for its shape and written back as compact JSON; the engine reads it
// under the vault limits and returns its response text as the reply.
//
// SEAM: the retrieval engine is not part of this library yet. Until it is, every retrieval
// request fails here with a plain error; wiring it means replacing this one body with the
// engine's request call (the database, the request text, `limits`, no cancel flag).
#include "encryption/vault.h"

namespace qm::encryption {

Result<std::string> retrieve_with_limits(db::Database& db, std::string_view request, const db::QueryLimits& limits) {
  (void)db;
  (void)request;
  (void)limits;
  return fail(QmError::query("retrieval is not available in this build"));
}

}  // namespace qm::encryption
