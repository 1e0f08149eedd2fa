// Creating and dropping persisted retrieval indexes, each one atomic mutation.
#pragma once

#include <string>

#include "core/error.h"
#include "retrieval/definition.h"

namespace qm::db {

class Database;

// A new index built from its table's visible rows.
Result<void> create_retrieval_index(Database& db, const retrieval::RetrievalIndexDefinition& definition);
Result<void> drop_retrieval_index(Database& db, const std::string& name);

}  // namespace qm::db
