// Vault requests: one JSON object per call, tagged by "action" ("query", "batch",
// "inspect", "backup", "retrieve"), read strictly (unknown and repeated keys refused,
// nesting depth bounded) and answered with compact JSON.
//
// Invariants:
// - a request's shape is checked completely before anything runs; shape faults are Manifest
//   errors carrying the reader's text, parameter faults come later as ResourceLimit or Query;
// - a request over 1 MiB is refused before it is parsed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/json_reader.h"
#include "encryption/vault.h"

namespace qm::encryption {

inline constexpr size_t kMaxRequestBytes = 1048576;

struct RequestCommand {
  std::string sql;
  std::vector<JsonNode> params;
};

struct Request {
  enum class Action : uint8_t { Query, Batch, Inspect, Backup, Retrieve };
  Action action = Action::Inspect;
  RequestCommand query;                  // Query
  std::vector<RequestCommand> commands;  // Batch
  std::string path;                      // Backup
  std::string retrieval;                 // Retrieve: the request value as compact JSON
};

// The request's shape; every fault is a Manifest error.
Result<Request> parse_request(std::string_view text);
// Runs a parsed request on the vault and returns the reply text.
Result<std::string> run_request(Vault& vault, const Request& request);
// The size bound, then parse_request and run_request.
Result<std::string> handle_request(Vault& vault, std::string_view text);

}  // namespace qm::encryption
