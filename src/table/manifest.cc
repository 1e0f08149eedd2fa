#include "table/manifest.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "core/json_writer.h"
#include "core/value_json.h"
#include "table/manifest_fields.h"
#include "sql/predicate_json.h"

namespace qm::db {
namespace {

using namespace manifest_fields;

// ---- writing ---------------------------------------------------------------------------

void write_strings(JsonWriter& w, const std::vector<std::string>& items) {
  w.begin_array();
  for (const auto& s : items) w.string(s);
  w.end_array();
}

void write_sorted_strings(JsonWriter& w, std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  write_strings(w, items);
}

void write_optional_u64(JsonWriter& w, const std::optional<uint64_t>& v) {
  if (v) {
    w.uint64(*v);
  } else {
    w.null();
  }
}

void write_extent(JsonWriter& w, const Extent& e) { w.begin_array().uint64(e.first).uint64(e.second).end_array(); }

using LiveTable = std::vector<std::pair<std::string_view, const storage::SecondaryIndex*>>;

// One index as {"column":..,"pairs":[[key,[ids..]],..]}, from the live index or a copy.
template <class Pairs>
void write_index_pairs(JsonWriter& w, std::string_view column, const Pairs& pairs) {
  w.begin_object().key("column").string(column).key("pairs").begin_array();
  for (const auto& [key, ids] : pairs) {
    w.begin_array();
    write_value_json(w, key);
    w.begin_array();
    for (uint64_t id : ids) w.uint64(id);
    w.end_array().end_array();
  }
  w.end_array().end_object();
}

void write_pairs(JsonWriter& w, std::string_view column, const storage::SecondaryIndex& index) {
  write_index_pairs(w, column, index.map());
}

// At least the length of an index's pairs as write_pairs writes them (room that is reserved
// but never written costs no memory).
size_t pairs_size_bound(std::string_view column, const storage::SecondaryIndex& index) {
  size_t n = 32 + 6 * column.size();
  for (const auto& [key, ids] : index.map()) {
    n += 8 + 21 * ids.size();
    switch (key.kind()) {
      case Value::Kind::Null: n += 6; break;
      case Value::Kind::Int: n += 28; break;
      case Value::Kind::Decimal: n += 56; break;
      case Value::Kind::Text: n += 12 + 6 * key.bytes().size(); break;
      case Value::Kind::Blob: n += 12 + 4 * key.bytes().size(); break;
    }
  }
  return n;
}

void write_table(JsonWriter& w, const TableMeta& t, const LiveTable* live) {
  w.begin_object();
  w.key("name").string(t.name);
  w.key("columns");
  write_strings(w, t.columns);
  if (!t.unique_columns.empty()) {
    w.key("unique_columns");
    write_sorted_strings(w, t.unique_columns);
  }
  if (!t.not_null_columns.empty()) {
    w.key("not_null_columns");
    write_sorted_strings(w, t.not_null_columns);
  }
  if (!t.defaults.empty()) {
    w.key("defaults").begin_object();
    for (const auto& [column, value] : t.defaults) {
      w.key(column);
      write_value_json(w, value);
    }
    w.end_object();
  }
  if (!t.checks.empty()) {
    w.key("checks").begin_array();
    for (const auto& p : t.checks) sql::write_predicate_json(w, p);
    w.end_array();
  }
  w.key("first_page");
  write_optional_u64(w, t.first_page);
  w.key("tail_id");
  write_optional_u64(w, t.tail_id);
  w.key("row_versions").uint64(t.row_versions);
  if (t.cold_pages != 0) w.key("cold_pages").uint64(t.cold_pages);
  if (t.compaction_cursor) w.key("compaction_cursor").uint64(*t.compaction_cursor);
  w.key("indexed_columns");
  write_strings(w, t.indexed_columns);
  if (live) {
    if (!live->empty()) {
      w.key("indexes").begin_array();
      for (const auto& [column, index] : *live) write_pairs(w, column, *index);
      w.end_array();
    }
  } else if (!t.indexes.empty()) {
    w.key("indexes").begin_array();
    for (const auto& idx : t.indexes) write_index_pairs(w, idx.column, idx.pairs);
    w.end_array();
  }
  if (!t.binary_indexes.empty()) {
    w.key("binary_indexes").begin_array();
    for (const auto& b : t.binary_indexes)
      w.begin_object().key("column").string(b.column).key("offset").uint64(b.offset).key("len").uint64(b.len).end_object();
    w.end_array();
  }
  w.end_object();
}

// ---- strict reading --------------------------------------------------------------------

using Err = std::unexpected<std::string>;
template <class T>
using Read = std::expected<T, std::string>;

// The fields of one structure, found by key in an object or by position in an array.
class Fields {
 public:
  static Read<Fields> open(const JsonNode& node, std::string_view struct_name,
                           std::span<const std::string_view> names) {
    auto found = json_struct_fields(node, names, struct_name, kLongerArray);
    if (!found) return Err(std::move(found).error());
    Fields f;
    f.found_ = std::move(*found);
    return f;
  }

  const JsonNode* get(size_t i) const { return found_[i]; }

 private:
  std::vector<const JsonNode*> found_;
};

std::string found_integer(const JsonNode& n) {
  if (n.type == JsonNode::Type::Int) return "integer `" + std::to_string(n.int_value) + "`";
  return "integer `" + std::to_string(n.uint_value) + "`";
}

Read<uint64_t> read_u64(const JsonNode& n) {
  if (n.type == JsonNode::Type::Uint) return n.uint_value;
  if (n.type == JsonNode::Type::Int) return Err("invalid value: " + found_integer(n) + ", expected u64");
  return Err(json_invalid_type(json_type_name(n), "u64"));
}

Read<uint16_t> read_u16(const JsonNode& n) {
  if (n.type == JsonNode::Type::Uint && n.uint_value <= 0xffff) return static_cast<uint16_t>(n.uint_value);
  if (n.is_integer()) return Err("invalid value: " + found_integer(n) + ", expected u16");
  return Err(json_invalid_type(json_type_name(n), "u16"));
}

Read<std::optional<uint64_t>> read_opt_u64(const JsonNode& n) {
  if (n.is_null()) return std::optional<uint64_t>();
  auto v = read_u64(n);
  if (!v) return Err(v.error());
  return std::optional<uint64_t>(*v);
}

Read<std::string> read_string(const JsonNode& n) { return json_read_string(n); }

Read<std::vector<std::string>> read_strings(const JsonNode& n) {
  if (!n.is_array()) return Err(json_invalid_type(json_type_name(n), "a sequence"));
  std::vector<std::string> out;
  out.reserve(n.items.size());
  for (const auto& item : n.items) {
    auto s = read_string(item);
    if (!s) return Err(s.error());
    out.push_back(std::move(*s));
  }
  return out;
}

Read<std::vector<uint64_t>> read_u64s(const JsonNode& n) {
  if (!n.is_array()) return Err(json_invalid_type(json_type_name(n), "a sequence"));
  std::vector<uint64_t> out;
  out.reserve(n.items.size());
  for (const auto& item : n.items) {
    auto v = read_u64(item);
    if (!v) return Err(v.error());
    out.push_back(*v);
  }
  return out;
}

Read<Extent> read_extent(const JsonNode& n) {
  if (!n.is_array()) return Err(json_invalid_type(json_type_name(n), "a tuple of size 2"));
  if (n.items.size() != 2) return Err("invalid length " + std::to_string(n.items.size()) + ", expected a tuple of size 2");
  auto a = read_u64(n.items[0]);
  if (!a) return Err(a.error());
  auto b = read_u64(n.items[1]);
  if (!b) return Err(b.error());
  return Extent{*a, *b};
}

Read<PersistedIndex> read_persisted_index(const JsonNode& n) {
  auto f = Fields::open(n, "struct PersistedIndex", kPersistedIndexFields);
  if (!f) return Err(f.error());
  PersistedIndex out;
  if (!f->get(0)) return Err(json_missing_field("column"));
  if (!f->get(1)) return Err(json_missing_field("pairs"));
  auto column = read_string(*f->get(0));
  if (!column) return Err(column.error());
  out.column = std::move(*column);
  const JsonNode& pairs = *f->get(1);
  if (!pairs.is_array()) return Err(json_invalid_type(json_type_name(pairs), "a sequence"));
  out.pairs.reserve(pairs.items.size());
  for (const auto& pair : pairs.items) {
    if (!pair.is_array()) return Err(json_invalid_type(json_type_name(pair), "a tuple of size 2"));
    if (pair.items.size() != 2)
      return Err("invalid length " + std::to_string(pair.items.size()) + ", expected a tuple of size 2");
    auto key = value_from_json(pair.items[0]);
    if (!key) return Err(key.error());
    auto ids = read_u64s(pair.items[1]);
    if (!ids) return Err(ids.error());
    out.pairs.emplace_back(std::move(*key), std::move(*ids));
  }
  return out;
}

Read<BinIndexDesc> read_bin_index(const JsonNode& n) {
  auto f = Fields::open(n, "struct BinIndexDesc", kBinIndexFields);
  if (!f) return Err(f.error());
  for (size_t i = 0; i < kBinIndexFields.size(); ++i)
    if (!f->get(i)) return Err(json_missing_field(kBinIndexFields[i]));
  BinIndexDesc out;
  auto column = read_string(*f->get(0));
  if (!column) return Err(column.error());
  out.column = std::move(*column);
  auto offset = read_u64(*f->get(1));
  if (!offset) return Err(offset.error());
  out.offset = *offset;
  auto len = read_u64(*f->get(2));
  if (!len) return Err(len.error());
  out.len = *len;
  return out;
}

template <class T, class F>
Read<std::vector<T>> read_list(const JsonNode& n, F&& read_one) {
  if (!n.is_array()) return Err(json_invalid_type(json_type_name(n), "a sequence"));
  std::vector<T> out;
  out.reserve(n.items.size());
  for (const auto& item : n.items) {
    auto v = read_one(item);
    if (!v) return Err(v.error());
    out.push_back(std::move(*v));
  }
  return out;
}

Read<TableMeta> read_table(const JsonNode& n) {
  auto f = Fields::open(n, "struct TableMeta", kTableFields);
  if (!f) return Err(f.error());
  TableMeta t;
  const JsonNode* name = f->get(kName);
  if (!name) return Err(json_missing_field("name"));
  auto name_text = read_string(*name);
  if (!name_text) return Err(name_text.error());
  t.name = std::move(*name_text);

  const JsonNode* columns = f->get(kColumns);
  if (!columns) return Err(json_missing_field("columns"));
  auto cols = read_strings(*columns);
  if (!cols) return Err(cols.error());
  t.columns = std::move(*cols);

  if (const JsonNode* u = f->get(kUnique)) {
    auto v = read_strings(*u);
    if (!v) return Err(v.error());
    t.unique_columns = std::move(*v);
  }
  if (const JsonNode* nn = f->get(kNotNull)) {
    auto v = read_strings(*nn);
    if (!v) return Err(v.error());
    t.not_null_columns = std::move(*v);
  }
  if (const JsonNode* d = f->get(kDefaults)) {
    if (!d->is_object()) return Err(json_invalid_type(json_type_name(*d), "a map"));
    for (const auto& [column, value] : d->members) {
      auto v = value_from_json(value);
      if (!v) return Err(v.error());
      t.defaults.insert_or_assign(column, std::move(*v));
    }
  }
  if (const JsonNode* c = f->get(kChecks)) {
    auto v = read_list<sql::Predicate>(*c, [](const JsonNode& p) { return sql::predicate_from_json(p); });
    if (!v) return Err(v.error());
    t.checks = std::move(*v);
  }
  if (const JsonNode* fp = f->get(kFirstPage)) {
    auto v = read_opt_u64(*fp);
    if (!v) return Err(v.error());
    t.first_page = *v;
  }
  if (const JsonNode* tail = f->get(kTailId)) {
    auto v = read_opt_u64(*tail);
    if (!v) return Err(v.error());
    t.tail_id = *v;
  }
  const JsonNode* rv = f->get(kRowVersions);
  if (!rv) return Err(json_missing_field("row_versions"));
  auto row_versions = read_u64(*rv);
  if (!row_versions) return Err(row_versions.error());
  t.row_versions = *row_versions;
  if (const JsonNode* cp = f->get(kColdPages)) {
    auto v = read_u64(*cp);
    if (!v) return Err(v.error());
    t.cold_pages = *v;
  }
  if (const JsonNode* cc = f->get(kCompactionCursor)) {
    auto v = read_opt_u64(*cc);
    if (!v) return Err(v.error());
    t.compaction_cursor = *v;
  }
  if (const JsonNode* ic = f->get(kIndexedColumns)) {
    auto v = read_strings(*ic);
    if (!v) return Err(v.error());
    t.indexed_columns = std::move(*v);
  }
  if (const JsonNode* ix = f->get(kIndexes)) {
    auto v = read_list<PersistedIndex>(*ix, read_persisted_index);
    if (!v) return Err(v.error());
    t.indexes = std::move(*v);
  }
  if (const JsonNode* bx = f->get(kBinaryIndexes)) {
    auto v = read_list<BinIndexDesc>(*bx, read_bin_index);
    if (!v) return Err(v.error());
    t.binary_indexes = std::move(*v);
  }
  return t;
}

Read<Manifest> read_manifest(const JsonNode& root) {
  auto f = Fields::open(root, "struct Manifest", kManifestFields);
  if (!f) return Err(f.error());
  Manifest m;
  if (const JsonNode* v = f->get(kFormatVersion)) {
    auto version = read_u16(*v);
    if (!version) return Err(version.error());
    m.format_version = *version;
  }
  const JsonNode* clock = f->get(kClock);
  if (!clock) return Err(json_missing_field("clock"));
  auto clock_value = read_u64(*clock);
  if (!clock_value) return Err(clock_value.error());
  m.clock = *clock_value;
  if (const JsonNode* cs = f->get(kCommitSequence)) {
    auto v = read_opt_u64(*cs);
    if (!v) return Err(v.error());
    m.commit_sequence = *v;
  }
  if (const JsonNode* lw = f->get(kLoggedWorkspace)) {
    if (lw->type == JsonNode::Type::Bool) {
      m.logged_workspace = lw->boolean;
    } else if (!lw->is_null()) {
      return Err(json_invalid_type(json_type_name(*lw), "a boolean"));
    }
  }
  const JsonNode* pc = f->get(kPageCount);
  if (!pc) return Err(json_missing_field("page_count"));
  auto page_count = read_u64(*pc);
  if (!page_count) return Err(page_count.error());
  m.page_count = *page_count;
  const JsonNode* tables = f->get(kTables);
  if (!tables) return Err(json_missing_field("tables"));
  auto table_list = read_list<TableMeta>(*tables, read_table);
  if (!table_list) return Err(table_list.error());
  m.tables = std::move(*table_list);
  const JsonNode* hashes = f->get(kCasHashes);
  if (!hashes) return Err(json_missing_field("cas_hashes"));
  auto hash_list = read_strings(*hashes);
  if (!hash_list) return Err(hash_list.error());
  m.cas_hashes = std::move(*hash_list);
  if (const JsonNode* dir = f->get(kCasDir)) {
    auto v = read_list<Extent>(*dir, read_extent);
    if (!v) return Err(v.error());
    m.cas_dir = std::move(*v);
  }
  if (const JsonNode* region = f->get(kIndexRegion)) {
    if (!region->is_null()) {
      auto v = read_extent(*region);
      if (!v) return Err(v.error());
      m.index_region = *v;
    }
  }
  if (const JsonNode* ri = f->get(kRetrievalIndexes)) {
    if (!ri->is_array())
      return Err(json_invalid_type(json_type_name(*ri),
                                   "a sequence containing at most " + std::to_string(kMaxRetrievalDescriptors)));
    if (ri->items.size() > kMaxRetrievalDescriptors)
      return Err(std::string("persistent retrieval sequence exceeds its limit"));
    m.retrieval_indexes = ri->items;
  }
  return m;
}

// ---- the blob lists, read straight from the text -----------------------------------------
//
// An image's manifest is mostly its two blob lists, one digest and one extent per blob. When
// they are written as the writer above writes them (compact, digests in lower-case hex, plain
// integers), they are read here without building a document, and the strict reader gets the
// text with both lists emptied. Anything else in them sends the whole text to the strict
// reader, and so does any refusal of the rest, so every result and every error is its own.

struct BlobLists {
  std::string rest;  // the text with the lists read here emptied
  std::optional<std::vector<std::string>> hashes;
  std::optional<std::vector<Extent>> dir;
};

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// 1 for each lower-case hex digit: digests are checked by table, as their digits come in no
// order a branch could guess.
constexpr std::array<uint8_t, 256> kLowerHex = [] {
  std::array<uint8_t, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = 1;
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<size_t>(c)] = 1;
  return t;
}();

bool is_lower_hex(std::string_view digits) {
  uint8_t all = 1;
  for (char c : digits) all &= kLowerHex[static_cast<uint8_t>(c)];
  return all != 0;
}

// The items of a digest list, from just past its '[' to just past its ']'.
bool read_hash_list(std::string_view text, size_t& at, std::vector<std::string>& out) {
  if (at < text.size() && text[at] == ']') {
    ++at;
    return true;
  }
  for (;;) {
    // A quoted digest and the byte after it.
    if (text.size() - at < 67 || text[at] != '"' || text[at + 65] != '"') return false;
    if (!is_lower_hex(text.substr(at + 1, 64))) return false;
    out.emplace_back(text.substr(at + 1, 64));
    at += 66;
    if (text[at++] == ']') return true;
    if (text[at - 1] != ',') return false;
  }
}

// Digits without a sign, a fraction or a leading zero, within u64.
bool read_plain_u64(std::string_view text, size_t& at, uint64_t& value) {
  const size_t start = at;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    const auto digit = static_cast<uint64_t>(text[at] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    ++at;
  }
  return at > start && (at - start == 1 || text[start] != '0');
}

// The items of an extent list, from just past its '[' to just past its ']'.
bool read_extent_list(std::string_view text, size_t& at, std::vector<Extent>& out) {
  if (at < text.size() && text[at] == ']') {
    ++at;
    return true;
  }
  auto take = [&](char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
  };
  for (;;) {
    Extent e;
    if (!take('[') || !read_plain_u64(text, at, e.first) || !take(',') || !read_plain_u64(text, at, e.second) ||
        !take(']'))
      return false;
    out.push_back(e);
    if (take(']')) return true;
    if (!take(',')) return false;
  }
}

// The blob lists of a top-level object read from the text, or nothing when they are not
// written as the writer writes them.
std::optional<BlobLists> read_blob_lists(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && is_json_space(text[at])) ++at;
  if (at == text.size() || text[at] != '{') return std::nullopt;
  BlobLists out;
  size_t copied = 0;  // the text before this is in out.rest
  size_t depth = 0;
  while (at < text.size() && !(out.hashes && out.dir)) {
    const char c = text[at];
    if (c != '"') {
      if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        if (depth == 0) return std::nullopt;
        --depth;
      }
      ++at;
      continue;
    }
    const size_t start = ++at;
    while (at < text.size() && text[at] != '"') at += text[at] == '\\' ? 2 : 1;
    if (at >= text.size()) return std::nullopt;
    const std::string_view name = text.substr(start, at - start);
    ++at;
    // A key of the top-level object, followed at once by an array.
    if (depth != 1 || text.substr(at, 2) != ":[") continue;
    const bool hashes = name == "cas_hashes" && !out.hashes;
    const bool dir = name == "cas_dir" && !out.dir;
    if (!hashes && !dir) continue;
    at += 2;
    out.rest.append(text.substr(copied, at - copied));
    if (hashes) {
      if (!read_hash_list(text, at, out.hashes.emplace())) return std::nullopt;
    } else if (!read_extent_list(text, at, out.dir.emplace())) {
      return std::nullopt;
    }
    out.rest += ']';
    copied = at;
  }
  if (!out.hashes) return std::nullopt;
  out.rest.append(text.substr(copied));
  return out;
}

Read<Manifest> parse_and_read(std::string_view text) {
  auto root = parse_json(text, kDefaultJsonDepth);
  if (!root) {
    // The parser stops hostile nesting at the same bound; say so in the reader's words.
    if (root.error().rfind("JSON nesting exceeds", 0) == 0) return Err(std::string("recursion limit exceeded"));
    return Err(std::move(root).error());
  }
  return read_manifest(*root);
}

}  // namespace

void write_json_node(JsonWriter& w, const JsonNode& node) {
  switch (node.type) {
    case JsonNode::Type::Null: w.null(); return;
    case JsonNode::Type::Bool: w.boolean(node.boolean); return;
    case JsonNode::Type::Int: w.int64(node.int_value); return;
    case JsonNode::Type::Uint: w.uint64(node.uint_value); return;
    case JsonNode::Type::Float: w.raw(node.text); return;
    case JsonNode::Type::String: w.string(node.text); return;
    case JsonNode::Type::Array:
      w.begin_array();
      for (const auto& item : node.items) write_json_node(w, item);
      w.end_array();
      return;
    case JsonNode::Type::Object:
      w.begin_object();
      for (const auto& [key, value] : node.members) {
        w.key(key);
        write_json_node(w, value);
      }
      w.end_object();
      return;
  }
}

namespace {

void write_manifest(std::string& out, const Manifest& m, const LiveIndexes* live) {
  JsonWriter w(out);
  w.begin_object();
  w.key("format_version").uint64(m.format_version);
  w.key("clock").uint64(m.clock);
  if (m.commit_sequence) w.key("commit_sequence").uint64(*m.commit_sequence);
  if (m.logged_workspace) w.key("logged_workspace").boolean(*m.logged_workspace);
  w.key("page_count").uint64(m.page_count);
  w.key("tables").begin_array();
  static const LiveTable kNoIndexes;
  for (size_t i = 0; i < m.tables.size(); ++i)
    write_table(w, m.tables[i], !live ? nullptr : i < live->size() ? &(*live)[i] : &kNoIndexes);
  w.end_array();
  w.key("cas_hashes");
  if (m.cas_hashes_json) {
    w.begin_array();
    if (!m.cas_hashes_json->empty()) w.raw(*m.cas_hashes_json);
    w.end_array();
  } else {
    write_strings(w, m.cas_hashes);
  }
  w.key("cas_dir").begin_array();
  for (const auto& e : m.cas_dir) write_extent(w, e);
  w.end_array();
  if (m.index_region) {
    w.key("index_region");
    write_extent(w, *m.index_region);
  }
  if (!m.retrieval_indexes.empty()) {
    w.key("retrieval_indexes").begin_array();
    for (const auto& d : m.retrieval_indexes) write_json_node(w, d);
    w.end_array();
  }
  w.end_object();
}

}  // namespace

std::string write_manifest_json(const Manifest& m) {
  std::string out;
  // The digest list is most of a large manifest: room for it up front, not by doubling.
  if (m.cas_hashes_json) out.reserve(m.cas_hashes_json->size() + 4096);
  write_manifest(out, m, nullptr);
  return out;
}

std::string write_manifest_json(const Manifest& m, const LiveIndexes& live) {
  // The text is written once into room taken once: growing it by doubling would hold the old
  // and the new copy of a text that is mostly pairs.
  static const LiveIndexes kNone;
  std::string without_pairs;
  write_manifest(without_pairs, m, &kNone);
  size_t bound = without_pairs.size();
  without_pairs = std::string();
  for (const auto& table : live)
    for (const auto& [column, index] : table) bound += pairs_size_bound(column, *index);
  std::string out;
  out.reserve(bound);
  write_manifest(out, m, &live);
  return out;
}

Result<Manifest> read_manifest_json(std::string_view text) {
  if (std::optional<BlobLists> lists = read_blob_lists(text)) {
    if (auto m = parse_and_read(lists->rest)) {
      m->cas_hashes = std::move(*lists->hashes);
      if (lists->dir) m->cas_dir = std::move(*lists->dir);
      return std::move(*m);
    }
  }
  auto m = parse_and_read(text);
  if (!m) return fail(QmError::manifest(std::move(m).error()));
  return std::move(*m);
}

}  // namespace qm::db
