#include "encryption/vault_request.h"

#include <array>
#include <initializer_list>
#include <unordered_set>

#include "core/json_writer.h"
#include "core/result_json.h"
#include "table/manifest.h"
#include "db/stats.h"
#include "core/params_json.h"

namespace qm::encryption {
namespace {

using Shape = std::unexpected<QmError>;

constexpr std::array<const char*, 5> kActions = {"query", "batch", "inspect", "backup", "retrieve"};

Shape shape(std::string text) { return Shape(QmError::manifest(std::move(text))); }

// "expected `a`", "expected `a` or `b`", "expected one of `a`, `b`, `c`".
std::string expected_list(std::initializer_list<const char*> names) {
  std::string out;
  size_t i = 0;
  for (const char* n : names) {
    if (i) out += names.size() == 2 ? " or " : ", ";
    out += '`';
    out += n;
    out += '`';
    ++i;
  }
  return (names.size() > 2 ? "expected one of " : "expected ") + out;
}

// Refuses repeated keys, and keys outside `allowed` (besides "action") unless `lenient`.
Result<void> check_keys(const JsonNode& obj, std::initializer_list<const char*> allowed, bool lenient,
                        bool tagged) {
  // A set, not pairwise comparison: a hostile object may carry hundreds of thousands of keys.
  std::unordered_set<std::string_view> seen;
  seen.reserve(obj.members.size());
  for (const auto& member : obj.members) {
    const std::string& key = member.first;
    if (!seen.insert(key).second) return shape(json_duplicate_field(key));
    if (lenient || (tagged && key == "action")) continue;
    bool known = false;
    for (const char* a : allowed) known = known || key == a;
    if (!known) return shape("unknown field `" + key + "`, " + expected_list(allowed));
  }
  return {};
}

Result<std::string> take_string(const JsonNode& obj, const char* key) {
  const JsonNode* v = obj.find(key);
  if (!v) return shape(json_missing_field(key));
  if (!v->is_string()) return shape(json_invalid_type(json_type_name(*v), "a string"));
  return v->text;
}

// Moves the array out of the document (requests are read once).
Result<std::vector<JsonNode>> take_array(JsonNode& obj, const char* key, bool required) {
  for (auto& member : obj.members) {
    if (member.first != key) continue;
    JsonNode& v = member.second;
    if (!v.is_array()) return shape(json_invalid_type(json_type_name(v), "a sequence"));
    return std::move(v.items);
  }
  if (required) return shape(json_missing_field(key));
  return std::vector<JsonNode>();
}

Result<RequestCommand> read_command(JsonNode& obj, bool tagged) {
  QM_TRY(check_keys(obj, {"sql", "params"}, false, tagged));
  RequestCommand c;
  QM_ASSIGN(c.sql, take_string(obj, "sql"));
  QM_ASSIGN(c.params, take_array(obj, "params", false));
  return c;
}

Result<std::vector<Value>> convert_params(const std::vector<JsonNode>& params) {
  if (params.size() > kMaxVaultParams) return fail(QmError::resource_limit("at most 256 parameters"));
  std::vector<Value> out;
  out.reserve(params.size());
  for (const JsonNode& p : params) {
    auto v = json_to_value(p);
    if (!v) return fail(QmError::query(std::move(v).error()));
    out.push_back(std::move(*v));
  }
  return out;
}

}  // namespace

Result<Request> parse_request(std::string_view text) {
  auto doc = parse_json(text);
  if (!doc) return shape(std::move(doc).error());
  JsonNode& root = *doc;
  if (!root.is_object()) return shape(json_invalid_type(json_type_name(root), "internally tagged enum Request"));
  const JsonNode* tag = root.find("action");
  if (!tag) return shape(json_missing_field("action"));
  if (!tag->is_string()) return shape(json_invalid_type(json_type_name(*tag), "variant identifier"));
  size_t index = 0;
  while (index < kActions.size() && tag->text != kActions[index]) ++index;
  if (index == kActions.size()) {
    std::string list;
    for (size_t i = 0; i < kActions.size(); ++i) list += std::string(i ? ", `" : "`") + kActions[i] + "`";
    return shape("unknown variant `" + tag->text + "`, expected one of " + list);
  }

  Request r;
  r.action = static_cast<Request::Action>(index);
  switch (r.action) {
    case Request::Action::Query: {
      QM_ASSIGN(r.query, read_command(root, true));
      break;
    }
    case Request::Action::Batch: {
      QM_TRY(check_keys(root, {"commands"}, false, true));
      QM_ASSIGN(std::vector<JsonNode> items, take_array(root, "commands", true));
      r.commands.reserve(items.size());
      for (JsonNode& item : items) {
        if (!item.is_object()) return shape(json_invalid_type(json_type_name(item), "struct Command"));
        QM_ASSIGN(RequestCommand c, read_command(item, false));
        r.commands.push_back(std::move(c));
      }
      break;
    }
    case Request::Action::Inspect: {
      QM_TRY(check_keys(root, {}, true, true));
      break;
    }
    case Request::Action::Backup: {
      QM_TRY(check_keys(root, {"path"}, false, true));
      QM_ASSIGN(r.path, take_string(root, "path"));
      break;
    }
    case Request::Action::Retrieve: {
      QM_TRY(check_keys(root, {"request"}, false, true));
      const JsonNode* v = root.find("request");
      if (!v) return shape(json_missing_field("request"));
      JsonWriter w(r.retrieval);
      db::write_json_node(w, *v);
      break;
    }
  }
  return r;
}

Result<std::string> run_request(Vault& vault, const Request& request) {
  switch (request.action) {
    case Request::Action::Query: {
      QM_ASSIGN(std::vector<Value> values, convert_params(request.query.params));
      QM_ASSIGN(QueryResult result, vault.query(request.query.sql, values));
      return json::result_to_string(result);
    }
    case Request::Action::Batch: {
      std::vector<VaultStatement> statements;
      statements.reserve(request.commands.size());
      for (const RequestCommand& c : request.commands) {
        QM_ASSIGN(std::vector<Value> values, convert_params(c.params));
        statements.push_back({c.sql, std::move(values)});
      }
      QM_ASSIGN(std::vector<QueryResult> results, vault.execute_batch(statements));
      std::string out;
      JsonWriter(out).begin_object().key("committed").boolean(true).key("statements").uint64(results.size()).end_object();
      return out;
    }
    case Request::Action::Inspect: {
      QM_ASSIGN(db::DatabaseStats stats, vault.inspect());
      return db::stats_to_json(stats);
    }
    case Request::Action::Backup: {
      QM_TRY(vault.backup(request.path));
      return std::string(R"({"verified":true})");
    }
    case Request::Action::Retrieve:
      return vault.retrieve_json(request.retrieval);
  }
  return fail(QmError::manifest("unknown request"));
}

Result<std::string> handle_request(Vault& vault, std::string_view text) {
  if (text.size() > kMaxRequestBytes) return fail(QmError::resource_limit("vault request exceeds 1 MiB"));
  QM_ASSIGN(Request request, parse_request(text));
  return run_request(vault, request);
}

}  // namespace qm::encryption
