// The seam between the vault's "retrieve" request and the retrieval engine. The request has
// already been checked for its shape and written back as compact JSON; the engine reads it
// under the vault limits (no cancel flag, no pinned reader) and its response text is the reply.
#include "encryption/vault.h"
#include "query/statements/statements.h"

namespace qm::encryption {

Result<std::string> retrieve_with_limits(db::Database& db, std::string_view request, const db::QueryLimits& limits) {
  return retrieve_json_controlled(db, request, limits, nullptr, std::nullopt);
}

}  // namespace qm::encryption
