// Header and ManifestMeta JSON (see journal_docs.h).
#include "journal/journal_docs.h"

#include <new>
#include <nlohmann/json.hpp>

#include "core/json_reader.h"
#include "core/json_scanner.h"
#include "core/json_sax.h"
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

// The manifest view streamed: the six keys of the top-level object are read, every other
// value is skipped without being built, so a catalog with large tables costs no document.
class MetaHandler final : public nlohmann::json_sax<nlohmann::json> {
 public:
  ManifestMeta meta;
  std::string error;

  bool null() override {
    if (in_hashes_ || depth_ == 0) return scalar("null");
    if (depth_ != 1) return true;
    switch (field_) {
      case Field::CommitSequence:
      case Field::LoggedWorkspace: return true;  // null reads as absent
      case Field::None: return true;
      default: return wrong("null", expected_name());
    }
  }
  bool boolean(bool v) override {
    if (in_hashes_ || depth_ == 0) return scalar("boolean");
    if (depth_ != 1 || field_ == Field::None) return true;
    if (field_ != Field::LoggedWorkspace) return wrong("boolean", expected_name());
    meta.logged_workspace = v;
    return true;
  }
  bool number_integer(number_integer_t v) override {
    if (in_hashes_ || depth_ == 0) return scalar("integer");
    if (depth_ != 1 || field_ == Field::None) return true;
    if (field_ == Field::CasHashes || field_ == Field::LoggedWorkspace) return wrong("integer", expected_name());
    return fail_with("invalid value: integer `" + std::to_string(v) + "`, expected " + expected_name());
  }
  bool number_unsigned(number_unsigned_t v) override {
    if (in_hashes_ || depth_ == 0) return scalar("integer");
    if (depth_ != 1) return true;
    switch (field_) {
      case Field::None: return true;
      case Field::PageCount: meta.page_count = v; return true;
      case Field::Clock: meta.clock = v; return true;
      case Field::CommitSequence: meta.commit_sequence = v; return true;
      case Field::FormatVersion:
        if (v > 0xffff) return fail_with("invalid value: integer `" + std::to_string(v) + "`, expected u16");
        meta.format_version = static_cast<uint16_t>(v);
        return true;
      default: return wrong("integer", expected_name());
    }
  }
  bool number_float(number_float_t, const string_t&) override { return scalar("floating point"); }
  bool string(string_t& s) override {
    if (in_hashes_ && depth_ == 2) {
      meta.cas_hashes.push_back(std::move(s));
      return true;
    }
    return scalar("string");
  }
  bool binary(binary_t&) override { return fail_with("unexpected binary value"); }
  bool start_object(std::size_t) override {
    if (depth_ == 0) return open();
    if (in_hashes_ && depth_ == 2) return wrong("map", "a string");
    if (depth_ == 1 && field_ != Field::None) return wrong("map", expected_name());
    return open();
  }
  bool key(string_t& k) override {
    if (depth_ != 1) return true;
    static constexpr std::pair<std::string_view, Field> kFields[] = {
        {"page_count", Field::PageCount}, {"format_version", Field::FormatVersion},
        {"commit_sequence", Field::CommitSequence}, {"clock", Field::Clock},
        {"cas_hashes", Field::CasHashes}, {"logged_workspace", Field::LoggedWorkspace}};
    field_ = Field::None;
    for (const auto& [name, f] : kFields) {
      if (name != k) continue;
      unsigned bit = 1u << static_cast<unsigned>(f);
      if (seen_ & bit) return fail_with(json_duplicate_field(k));
      seen_ |= bit;
      field_ = f;
    }
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) return wrong("sequence", "struct ManifestMeta");
    if (in_hashes_ && depth_ == 2) return wrong("sequence", "a string");
    if (depth_ == 1 && field_ == Field::CasHashes) in_hashes_ = true;
    else if (depth_ == 1 && field_ != Field::None) return wrong("sequence", expected_name());
    return open();
  }
  bool end_array() override {
    if (--depth_ == 1) in_hashes_ = false;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    if (error.empty()) error = ex.what();
    return false;
  }

  // The required keys, checked once the document is read.
  bool finish() {
    for (auto [f, name] : {std::pair{Field::PageCount, "page_count"}, std::pair{Field::Clock, "clock"},
                           std::pair{Field::CasHashes, "cas_hashes"}})
      if (!(seen_ & (1u << static_cast<unsigned>(f)))) return fail_with(json_missing_field(name));
    return true;
  }

 private:
  enum class Field : uint8_t { PageCount, FormatVersion, CommitSequence, Clock, CasHashes, LoggedWorkspace, None };

  bool open() {
    if (depth_ >= kMaxDepth) return fail_with("recursion limit exceeded");
    ++depth_;
    return true;
  }
  bool scalar(const char* found) {
    if (in_hashes_) return wrong(found, "a string");
    if (depth_ == 0) return wrong(found, "struct ManifestMeta");
    if (depth_ != 1 || field_ == Field::None) return true;
    return wrong(found, expected_name());
  }
  const char* expected_name() const {
    switch (field_) {
      case Field::FormatVersion: return "u16";
      case Field::CasHashes: return "a sequence";
      case Field::LoggedWorkspace: return "a boolean";
      default: return "u64";
    }
  }
  bool wrong(const char* found, const char* expected) { return fail_with(json_invalid_type(found, expected)); }
  bool fail_with(std::string msg) {
    if (error.empty()) error = std::move(msg);
    return false;
  }

  size_t depth_ = 0;
  Field field_ = Field::None;
  unsigned seen_ = 0;
  bool in_hashes_ = false;
};

// A manifest may be written as the array of its field values in the manifest's field
// order (the catalog reader takes that form too); the view then reads its six fields by
// their position there.
Result<ManifestMeta> read_manifest_meta_array(std::string_view text) {
  static constexpr std::string_view kManifestOrder[] = {
      "format_version", "clock",      "commit_sequence", "logged_workspace", "page_count",
      "tables",         "cas_hashes", "cas_dir",         "index_region",     "retrieval_indexes"};
  QM_ASSIGN(JsonNode root, parse(text));
  auto fields = json_struct_fields(root, kManifestOrder, "struct Manifest");
  if (!fields) return fail(QmError::manifest(std::move(fields).error()));
  const auto at = [&](size_t i) -> const JsonNode& { return *(*fields)[i]; };
  ManifestMeta meta;
  QM_ASSIGN(uint64_t version, as_u64(at(0), 0xffff, "u16"));
  meta.format_version = static_cast<uint16_t>(version);
  QM_ASSIGN(meta.clock, as_u64(at(1), UINT64_MAX, "u64"));
  if (!at(2).is_null()) {
    QM_ASSIGN(meta.commit_sequence, as_u64(at(2), UINT64_MAX, "u64"));
  }
  if (at(3).type == JsonNode::Type::Bool) {
    meta.logged_workspace = at(3).boolean;
  } else if (!at(3).is_null()) {
    return fail(QmError::manifest(json_invalid_type(json_type_name(at(3)), "a boolean")));
  }
  QM_ASSIGN(meta.page_count, as_u64(at(4), UINT64_MAX, "u64"));
  if (!at(6).is_array()) return fail(QmError::manifest(json_invalid_type(json_type_name(at(6)), "a sequence")));
  for (const JsonNode& hash : at(6).items) {
    auto s = json_read_string(hash);
    if (!s) return fail(QmError::manifest(std::move(s).error()));
    meta.cas_hashes.push_back(std::move(*s));
  }
  return meta;
}

// The view of a manifest every handler above accepts, read by the scanner, which is many
// times faster than the parser: nothing when the text holds anything the handler would refuse
// (or that the scanner cannot read), so that the handler words every refusal itself.
std::optional<ManifestMeta> read_plain_manifest_meta(std::string_view text) {
  JsonScanner s(text, kMaxDepth);
  if (s.peek() != JsonScanner::Kind::Object) return std::nullopt;
  s.enter_object();
  ManifestMeta meta;
  enum Seen : unsigned { kPageCount = 1, kFormatVersion = 2, kCommitSequence = 4, kClock = 8, kCasHashes = 16,
                         kLogged = 32 };
  unsigned seen = 0;
  auto take = [&](unsigned bit) {
    if (seen & bit) return false;  // a repeated key: the handler refuses it
    seen |= bit;
    return true;
  };
  auto unsigned_number = [&](uint64_t& out) {
    JsonNumber n;
    if (s.peek() != JsonScanner::Kind::Number || !s.number(n) || n.type != JsonNode::Type::Uint) return false;
    out = n.uint_value;
    return true;
  };
  std::string_view key;
  for (bool first = true; s.more(first);) {
    if (!s.key(key)) return std::nullopt;
    bool ok = true;
    if (key == "page_count") {
      ok = take(kPageCount) && unsigned_number(meta.page_count);
    } else if (key == "clock") {
      ok = take(kClock) && unsigned_number(meta.clock);
    } else if (key == "format_version") {
      uint64_t v = 0;
      ok = take(kFormatVersion) && unsigned_number(v) && v <= 0xffff;
      meta.format_version = static_cast<uint16_t>(v);
    } else if (key == "commit_sequence") {
      ok = take(kCommitSequence) && (s.peek() == JsonScanner::Kind::Null ? s.null()
                                                                          : unsigned_number(meta.commit_sequence.emplace()));
    } else if (key == "logged_workspace") {
      ok = take(kLogged) && (s.peek() == JsonScanner::Kind::Null ? s.null()
                             : s.peek() == JsonScanner::Kind::Bool ? s.boolean(meta.logged_workspace.emplace())
                                                                    : false);
    } else if (key == "cas_hashes") {
      ok = take(kCasHashes) && s.enter_array();
      std::string_view hash;
      for (bool item = true; ok && s.more(item);)
        ok = s.peek() == JsonScanner::Kind::String && s.string(hash) && (meta.cas_hashes.emplace_back(hash), true);
    } else {
      ok = s.skip();
    }
    if (!ok || s.failed()) return std::nullopt;
  }
  if (!s.finish() || (seen & (kPageCount | kClock | kCasHashes)) != (kPageCount | kClock | kCasHashes))
    return std::nullopt;
  return meta;
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
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && text[first] == '[') return read_manifest_meta_array(text);
  if (auto plain = read_plain_manifest_meta(text)) return std::move(*plain);
  MetaHandler h;
  auto parsed = sax_parse_text(text, h);
  if (!parsed) return fail(QmError::manifest(parsed.error()));
  if (!*parsed || !h.finish()) return fail(QmError::manifest(h.error.empty() ? "invalid JSON document" : h.error));
  return std::move(h.meta);
}

}  // namespace qm::journal
