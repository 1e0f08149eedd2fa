// Header and ManifestMeta JSON (see journal_docs.h).
#include "journal/journal_docs.h"

#include "core/json_reader.h"
#include "core/json_writer.h"

namespace qm::journal {
namespace {

constexpr size_t kMaxDepth = 128;



Result<JsonNode> parse(std::string_view text) {
  auto root = parse_json(text, kMaxDepth);
  if (!root) {
    if (root.error().rfind("JSON nesting exceeds", 0) == 0) return fail(QmError::manifest("recursion limit exceeded"));
    return fail(QmError::manifest(root.error()));
  }
  return std::move(*root);
}

// The unique value of `key`, nullptr when absent; a repeated key is refused.
Result<const JsonNode*> field(const JsonNode& obj, std::string_view key) {
  if (obj.count(key) > 1) return fail(QmError::manifest(json_duplicate_field(key)));
  return obj.find(key);
}

std::string integer_text(const JsonNode& n) {
  return "integer `" + (n.type == JsonNode::Type::Int ? std::to_string(n.int_value) : std::to_string(n.uint_value)) + "`";
}

Result<uint64_t> as_u64(const JsonNode& n, uint64_t max, const char* name) {
  if (n.type == JsonNode::Type::Uint && n.uint_value <= max) return n.uint_value;
  if (n.is_integer()) return fail(QmError::manifest("invalid value: " + integer_text(n) + ", expected " + name));
  return fail(QmError::manifest(json_invalid_type(json_type_name(n), name)));
}

Result<uint64_t> required_u64(const JsonNode& obj, std::string_view key) {
  QM_ASSIGN(const JsonNode* n, field(obj, key));
  if (!n) return fail(QmError::manifest(json_missing_field(key)));
  return as_u64(*n, UINT64_MAX, "u64");
}

Result<void> require_object(const JsonNode& n, const char* name) {
  if (!n.is_object()) return fail(QmError::manifest(json_invalid_type(json_type_name(n), name)));
  return {};
}

}  // namespace

std::string header_json(const Header& h) {
  std::string out;
  JsonWriter w(out);
  w.begin_object()
      .key("sequence").uint64(h.sequence)
      .key("before_tx").uint64(h.before_tx)
      .key("page_count").uint64(h.page_count)
      .end_object();
  return out;
}

Result<Header> read_header(std::string_view text) {
  QM_ASSIGN(JsonNode root, parse(text));
  QM_TRY(require_object(root, "struct Header"));
  Header h;
  QM_ASSIGN(h.sequence, required_u64(root, "sequence"));
  QM_ASSIGN(h.before_tx, required_u64(root, "before_tx"));
  QM_ASSIGN(h.page_count, required_u64(root, "page_count"));
  return h;
}

Result<ManifestMeta> read_manifest_meta(std::string_view text) {
  QM_ASSIGN(JsonNode root, parse(text));
  QM_TRY(require_object(root, "struct ManifestMeta"));
  ManifestMeta m;
  QM_ASSIGN(m.page_count, required_u64(root, "page_count"));
  QM_ASSIGN(const JsonNode* fv, field(root, "format_version"));
  if (fv) {
    QM_ASSIGN(uint64_t v, as_u64(*fv, 0xffff, "u16"));
    m.format_version = static_cast<uint16_t>(v);
  }
  QM_ASSIGN(const JsonNode* cs, field(root, "commit_sequence"));
  if (cs && !cs->is_null()) {
    QM_ASSIGN(uint64_t v, as_u64(*cs, UINT64_MAX, "u64"));
    m.commit_sequence = v;
  }
  QM_ASSIGN(m.clock, required_u64(root, "clock"));
  QM_ASSIGN(const JsonNode* hashes, field(root, "cas_hashes"));
  if (!hashes) return fail(QmError::manifest(json_missing_field("cas_hashes")));
  if (!hashes->is_array()) return fail(QmError::manifest(json_invalid_type(json_type_name(*hashes), "a sequence")));
  m.cas_hashes.reserve(hashes->items.size());
  for (const auto& h : hashes->items) {
    if (!h.is_string()) return fail(QmError::manifest(json_invalid_type(json_type_name(h), "a string")));
    m.cas_hashes.push_back(h.text);
  }
  QM_ASSIGN(const JsonNode* lw, field(root, "logged_workspace"));
  if (lw && !lw->is_null()) {
    if (lw->type != JsonNode::Type::Bool) return fail(QmError::manifest(json_invalid_type(json_type_name(*lw), "a boolean")));
    m.logged_workspace = lw->boolean;
  }
  return m;
}

}  // namespace qm::journal
