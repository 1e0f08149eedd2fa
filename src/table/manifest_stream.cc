#include "table/manifest_stream.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <map>
#include <limits>
#include <optional>
#include <utility>

#include "core/int128.h"
#include "core/json_scanner.h"
#include "sql/predicate_json.h"
#include "table/limits.h"
#include "table/manifest_fields.h"

namespace qm::db {
namespace {

using namespace manifest_fields;
using Kind = JsonScanner::Kind;

// A field's refusal, kept until its structure is complete: which refusal a structure gives
// depends on its fields' order, not on the order they are written in.
using Fault = std::optional<std::string>;

// Every reader below consumes one whole value, and returns false only when the text itself
// is at fault (the scanner has stopped); a refusal of what the value holds goes to `f`.

bool wrong_type(JsonScanner& s, std::string_view expected, Fault& f) {
  f = json_invalid_type(s.type_name(), expected);
  return s.skip();
}

std::string invalid_integer(const JsonNumber& n, std::string_view expected) {
  const std::string digits = n.type == JsonNode::Type::Int ? std::to_string(n.int_value) : std::to_string(n.uint_value);
  return "invalid value: integer `" + digits + "`, expected " + std::string(expected);
}

// The elements of a sequence, each read by item(s, f) until the first refusal; the rest are
// passed over.
template <class Item>
bool read_sequence(JsonScanner& s, std::string_view expected, Fault& f, Item&& item) {
  if (s.peek() != Kind::Array) return wrong_type(s, expected, f);
  s.enter_array();
  for (bool first = true; s.more(first);) {
    if (f ? !s.skip() : !item(s, f)) return false;
  }
  return !s.failed();
}

bool read_u64(JsonScanner& s, uint64_t& out, Fault& f) {
  if (s.peek() != Kind::Number) return wrong_type(s, "u64", f);
  JsonNumber n;
  if (!s.number(n)) return false;
  if (n.type == JsonNode::Type::Uint) {
    out = n.uint_value;
  } else if (n.type == JsonNode::Type::Int) {
    f = invalid_integer(n, "u64");
  } else {
    f = json_invalid_type("floating point", "u64");
  }
  return true;
}

bool read_u16(JsonScanner& s, uint16_t& out, Fault& f) {
  if (s.peek() != Kind::Number) return wrong_type(s, "u16", f);
  JsonNumber n;
  if (!s.number(n)) return false;
  if (n.type == JsonNode::Type::Uint && n.uint_value <= 0xffff) {
    out = static_cast<uint16_t>(n.uint_value);
  } else if (n.type == JsonNode::Type::Float) {
    f = json_invalid_type("floating point", "u16");
  } else {
    f = invalid_integer(n, "u16");
  }
  return true;
}

bool read_opt_u64(JsonScanner& s, std::optional<uint64_t>& out, Fault& f) {
  if (s.peek() == Kind::Null) {
    out.reset();
    return s.null();
  }
  uint64_t v = 0;
  if (!read_u64(s, v, f)) return false;
  if (!f) out = v;
  return true;
}

bool read_string(JsonScanner& s, std::string& out, Fault& f) {
  if (s.peek() != Kind::String) return wrong_type(s, "a string", f);
  std::string_view text;
  if (!s.string(text)) return false;
  out.assign(text);
  return true;
}

bool read_strings(JsonScanner& s, std::vector<std::string>& out, Fault& f) {
  return read_sequence(s, "a sequence", f, [&](JsonScanner& sc, Fault& ff) {
    return read_string(sc, out.emplace_back(), ff);
  });
}

bool read_extent(JsonScanner& s, Extent& out, Fault& f) {
  if (s.peek() != Kind::Array) return wrong_type(s, "a tuple of size 2", f);
  s.enter_array();
  size_t count = 0;
  Fault first_fault, second_fault;
  for (bool first = true; s.more(first); ++count) {
    const bool ok = count == 0 ? read_u64(s, out.first, first_fault)
                    : count == 1 ? read_u64(s, out.second, second_fault)
                                 : s.skip();
    if (!ok) return false;
  }
  if (s.failed()) return false;
  // The length is judged before the elements.
  if (count != 2) f = "invalid length " + std::to_string(count) + ", expected a tuple of size 2";
  else if (first_fault) f = std::move(first_fault);
  else if (second_fault) f = std::move(second_fault);
  return true;
}

// ---- values in their tagged form ------------------------------------------------------------

constexpr const char* kVariants = "expected one of `Null`, `Int`, `Decimal`, `Text`, `Blob`";

bool read_variant(JsonScanner& s, std::string_view tag, Value& out, Fault& f) {
  if (tag == "Null") {
    if (s.peek() != Kind::Null) return wrong_type(s, "unit", f);
    out.set_null();
    return s.null();
  }
  if (tag == "Int" || tag == "Decimal") {
    const bool integer = tag == "Int";
    if (s.peek() != Kind::Number) return wrong_type(s, integer ? "i64" : "i128", f);
    JsonNumber n;
    if (!s.number(n)) return false;
    if (n.type == JsonNode::Type::Int) {
      if (integer) out.set_int(n.int_value);
      else out.set_decimal(n.int_value);
    } else if (n.type == JsonNode::Type::Uint) {
      if (!integer) out.set_decimal(static_cast<i128>(n.uint_value));
      else if (n.uint_value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        out.set_int(static_cast<int64_t>(n.uint_value));
      else f = invalid_integer(n, "i64");
    } else if (auto exact = integer ? std::nullopt : parse_i128(n.raw)) {
      // Integers beyond 64 bits reach the reader as floats; their raw text is exact.
      out.set_decimal(*exact);
    } else {
      f = json_invalid_type("floating point", integer ? "i64" : "i128");
    }
    return true;
  }
  if (tag == "Text") {
    if (s.peek() != Kind::String) return wrong_type(s, "a string", f);
    std::string_view text;
    if (!s.string(text)) return false;
    if (!out.is_text()) out = Value::text(std::string());
    out.mutable_bytes().assign(text);
    return true;
  }
  if (tag == "Blob") {
    if (!out.is_blob()) out = Value::blob(std::string());
    std::string& bytes = out.mutable_bytes();
    bytes.clear();
    return read_sequence(s, "a sequence", f, [&](JsonScanner& sc, Fault& ff) {
      if (sc.peek() != Kind::Number) return wrong_type(sc, "u8", ff);
      JsonNumber n;
      if (!sc.number(n)) return false;
      if (n.type == JsonNode::Type::Uint && n.uint_value <= 255) bytes.push_back(static_cast<char>(n.uint_value));
      else if (n.type == JsonNode::Type::Float) ff = json_invalid_type("floating point", "u8");
      else ff = "invalid value: integer, expected u8";
      return true;
    });
  }
  f = "unknown variant `" + std::string(tag) + "`, " + kVariants;
  return s.skip();
}

// The tagged form of a Value: "Null", or an object with one key naming the kind.
bool read_value(JsonScanner& s, Value& out, Fault& f) {
  const Kind kind = s.peek();
  if (kind == Kind::String) {
    std::string_view name;
    if (!s.string(name)) return false;
    if (name == "Null") out.set_null();
    else if (name == "Int" || name == "Decimal" || name == "Text" || name == "Blob")
      f = "invalid type: unit variant, expected newtype variant";
    else
      f = "unknown variant `" + std::string(name) + "`, " + kVariants;
    return true;
  }
  if (kind != Kind::Object) return wrong_type(s, "enum Value", f);
  s.enter_object();
  size_t members = 0;
  Fault payload;
  std::string_view tag;
  for (bool first = true; s.more(first); ++members) {
    if (!s.key(tag)) return false;
    if (!(members == 0 ? read_variant(s, tag, out, payload) : s.skip())) return false;
  }
  if (s.failed()) return false;
  if (members == 0) f = "invalid type: map, expected enum Value";
  else if (members > 1) f = "invalid length: expected a map with a single key";
  else if (payload) f = std::move(payload);
  return true;
}

// ---- structures -----------------------------------------------------------------------------

// One structure's fields as the strict reader finds them: by key in an object (unknown keys
// passed over, a known key given twice refused) or by position in an array of the field
// values. read_field(i) consumes field i's value.
template <size_t N>
struct Fields {
  std::array<bool, N> present{};
  std::array<Fault, N> faults;
  Fault shape;  // the structure's own refusal, which comes before any of its fields'

  template <class ReadField>
  bool read(JsonScanner& s, const std::array<std::string_view, N>& names, std::string_view struct_name,
            ReadField&& read_field) {
    const Kind kind = s.peek();
    if (kind == Kind::Object) {
      s.enter_object();
      std::string_view key;
      for (bool first = true; s.more(first);) {
        if (!s.key(key)) return false;
        size_t i = 0;
        while (i < N && names[i] != key) ++i;
        if (shape || i == N) {
          if (!s.skip()) return false;
        } else if (present[i]) {
          shape = json_duplicate_field(key);
          if (!s.skip()) return false;
        } else {
          present[i] = true;
          if (!read_field(s, i, faults[i])) return false;
        }
      }
      return !s.failed();
    }
    if (kind == Kind::Array) {
      s.enter_array();
      size_t count = 0;
      for (bool first = true; s.more(first); ++count) {
        if (count < N) {
          present[count] = true;
          if (!read_field(s, count, faults[count])) return false;
        } else if (!s.skip()) {
          return false;
        }
      }
      if (s.failed()) return false;
      if (count > N) shape = std::string(kLongerArray);
      else if (count != N) shape = json_invalid_length(count, struct_name, N);
      return true;
    }
    return wrong_type(s, struct_name, shape);
  }

  // The first refusal in the strict reader's order: the structure's own, then each field in
  // field order, a required one missing or its value refused. With `missing_first`, every
  // required field's absence is checked before any value.
  Fault verdict(const std::array<std::string_view, N>& names, std::initializer_list<size_t> required,
                bool missing_first) {
    if (shape) return std::move(shape);
    auto is_required = [&](size_t i) { return std::find(required.begin(), required.end(), i) != required.end(); };
    if (missing_first)
      for (size_t i : required)
        if (!present[i]) return json_missing_field(names[i]);
    for (size_t i = 0; i < N; ++i) {
      if (!missing_first && is_required(i) && !present[i]) return json_missing_field(names[i]);
      if (faults[i]) return std::move(faults[i]);
    }
    return std::nullopt;
  }
};

// What one pass keeps between the pairs it reads: a key and its ids, reused. A short list of
// ids is gathered and added at the pair's end; a long one goes into the index as it comes,
// in room counted ahead and taken once, so it is held once, not twice. (A pair refused after
// that refuses the whole manifest, so what it left in the index is never used.)
struct PairScratch {
  Value key;
  std::vector<uint64_t> ids;
  storage::SecondaryIndex* index = nullptr;  // where a long list goes (none: gathered only)
  bool direct = false;                       // this pair's ids go straight into `index`

  void start(storage::SecondaryIndex* into) {
    ids.clear();
    index = into;
    direct = false;
  }
  void add(const JsonScanner& s, uint64_t id) {
    if (!index) return;  // the pair is refused whatever its ids are
    if (direct) {
      index->insert(key, id);
      return;
    }
    if (ids.size() == kGathered && index) {
      index->reserve_ids(key, ids.size() + s.numbers_left());
      for (uint64_t gathered : ids) index->insert(key, gathered);
      ids.clear();
      direct = true;
      index->insert(key, id);
      return;
    }
    ids.push_back(id);
  }
  // The pair is read and sound: its ids are all in the index.
  void finish() {
    if (!direct) index->append_ids(key, ids);
  }

  static constexpr size_t kGathered = 1024;
};

// The pair the writer writes for an integer key, [{"Int":N},[id,...]] with nothing between
// its tokens, read and added to the index; false, having consumed nothing, for any other
// shape or any value the general reading would refuse.
bool read_int_pair(JsonScanner& s, storage::SecondaryIndex& index, PairScratch& scratch) {
  if (s.depth() + 2 > s.max_depth()) return false;
  const char* mark = s.mark();
  int64_t key = 0;
  // Integers of up to 18 digits: the key fits i64, a row id u64 (when not negative).
  if (!s.take("[{\"Int\":") || !s.take_small_integer(key) || !s.take("},[")) {
    s.back_to(mark);
    return false;
  }
  scratch.key.set_int(key);
  scratch.start(&index);
  if (!s.take(']')) {
    int64_t id = 0;
    do {
      // A long list is left to the general reading, which adds it to the index as it comes:
      // this one must be able to go back to its mark, having added nothing.
      if (!s.take_small_integer(id) || id < 0 || scratch.ids.size() == PairScratch::kGathered) {
        s.back_to(mark);
        return false;
      }
      scratch.ids.push_back(static_cast<uint64_t>(id));
    } while (s.take(','));
    if (!s.take(']')) {
      s.back_to(mark);
      return false;
    }
  }
  if (!s.take(']')) {
    s.back_to(mark);
    return false;
  }
  scratch.finish();
  return true;
}

bool read_pairs(JsonScanner& s, storage::SecondaryIndex& index, PairScratch& scratch, Fault& f) {
  return read_sequence(s, "a sequence", f, [&](JsonScanner& sc, Fault& ff) {
    if (read_int_pair(sc, index, scratch)) return true;
    if (sc.failed()) return false;
    if (sc.peek() != Kind::Array) return wrong_type(sc, "a tuple of size 2", ff);
    sc.enter_array();
    size_t count = 0;
    Fault key_fault, ids_fault;
    scratch.start(nullptr);
    for (bool first = true; sc.more(first); ++count) {
      bool ok;
      if (count == 0) {
        ok = read_value(sc, scratch.key, key_fault);
        if (!key_fault) scratch.start(&index);  // a refused key's ids are never added
      } else if (count == 1) {
        ok = read_sequence(sc, "a sequence", ids_fault, [&](JsonScanner& sx, Fault& fx) {
          uint64_t id = 0;
          if (!read_u64(sx, id, fx)) return false;
          scratch.add(sx, id);
          return true;
        });
      } else {
        ok = sc.skip();
      }
      if (!ok) return false;
    }
    if (sc.failed()) return false;
    if (count != 2) ff = "invalid length " + std::to_string(count) + ", expected a tuple of size 2";
    else if (key_fault) ff = std::move(key_fault);
    else if (ids_fault) ff = std::move(ids_fault);
    else scratch.finish();
    // One hostile list of ids must not hold its memory for the rest of the pass.
    if (scratch.ids.capacity() > (size_t{1} << 20)) std::vector<uint64_t>().swap(scratch.ids);
    return true;
  });
}

bool read_persisted_index(JsonScanner& s, std::vector<StoredIndex>& out, PairScratch& scratch, Fault& f) {
  Fields<2> fields;
  StoredIndex stored;
  const bool ok = fields.read(s, kPersistedIndexFields, "struct PersistedIndex", [&](JsonScanner& sc, size_t i, Fault& ff) {
    return i == 0 ? read_string(sc, stored.column, ff) : read_pairs(sc, stored.index, scratch, ff);
  });
  if (!ok) return false;
  f = fields.verdict(kPersistedIndexFields, {0, 1}, /*missing_first=*/true);
  if (!f) out.push_back(std::move(stored));
  return true;
}

bool read_bin_index(JsonScanner& s, std::vector<BinIndexDesc>& out, Fault& f) {
  Fields<3> fields;
  BinIndexDesc desc;
  const bool ok = fields.read(s, kBinIndexFields, "struct BinIndexDesc", [&](JsonScanner& sc, size_t i, Fault& ff) {
    return i == 0 ? read_string(sc, desc.column, ff) : read_u64(sc, i == 1 ? desc.offset : desc.len, ff);
  });
  if (!ok) return false;
  f = fields.verdict(kBinIndexFields, {0, 1, 2}, /*missing_first=*/true);
  if (!f) out.push_back(std::move(desc));
  return true;
}

bool read_defaults(JsonScanner& s, std::map<std::string, Value>& out, Fault& f) {
  if (s.peek() != Kind::Object) return wrong_type(s, "a map", f);
  s.enter_object();
  std::string_view key;
  Value value;
  for (bool first = true; s.more(first);) {
    if (!s.key(key)) return false;
    if (f) {
      if (!s.skip()) return false;
      continue;
    }
    std::string column(key);
    if (!read_value(s, value, f)) return false;
    if (!f) out.insert_or_assign(std::move(column), value);
  }
  return !s.failed();
}

bool read_checks(JsonScanner& s, std::vector<sql::Predicate>& out, Fault& f) {
  // A CHECK predicate is small (its nodes are bounded when it is created): it is read as a
  // document of its own, one at a time.
  return read_sequence(s, "a sequence", f, [&](JsonScanner& sc, Fault& ff) {
    JsonNode node;
    if (!sc.node(node)) return false;
    auto p = sql::predicate_from_json(node);
    if (p) out.push_back(std::move(*p));
    else ff = std::move(p).error();
    return true;
  });
}

struct TableRead {
  TableMeta meta;
  std::vector<StoredIndex> indexes;
};

bool read_table(JsonScanner& s, TableRead& out, PairScratch& scratch, Fault& f) {
  Fields<kTableFieldCount> fields;
  TableMeta& t = out.meta;
  const bool ok = fields.read(s, kTableFields, "struct TableMeta", [&](JsonScanner& sc, size_t i, Fault& ff) {
    switch (static_cast<TableField>(i)) {
      case kName: return read_string(sc, t.name, ff);
      case kColumns: return read_strings(sc, t.columns, ff);
      case kUnique: return read_strings(sc, t.unique_columns, ff);
      case kNotNull: return read_strings(sc, t.not_null_columns, ff);
      case kDefaults: return read_defaults(sc, t.defaults, ff);
      case kChecks: return read_checks(sc, t.checks, ff);
      case kFirstPage: return read_opt_u64(sc, t.first_page, ff);
      case kTailId: return read_opt_u64(sc, t.tail_id, ff);
      case kRowVersions: return read_u64(sc, t.row_versions, ff);
      case kColdPages: return read_u64(sc, t.cold_pages, ff);
      case kCompactionCursor: return read_opt_u64(sc, t.compaction_cursor, ff);
      case kIndexedColumns: return read_strings(sc, t.indexed_columns, ff);
      case kIndexes:
        return read_sequence(sc, "a sequence", ff, [&](JsonScanner& sx, Fault& fx) {
          return read_persisted_index(sx, out.indexes, scratch, fx);
        });
      case kBinaryIndexes:
        return read_sequence(sc, "a sequence", ff, [&](JsonScanner& sx, Fault& fx) {
          return read_bin_index(sx, t.binary_indexes, fx);
        });
      case kTableFieldCount: break;
    }
    return sc.skip();
  });
  if (!ok) return false;
  f = fields.verdict(kTableFields, {kName, kColumns, kRowVersions}, /*missing_first=*/false);
  return true;
}

bool read_manifest(JsonScanner& s, ManifestWithIndexes& out, Fault& f) {
  Manifest& m = out.manifest;
  PairScratch scratch;
  Fields<kManifestFieldCount> fields;
  const bool ok = fields.read(s, kManifestFields, "struct Manifest", [&](JsonScanner& sc, size_t i, Fault& ff) {
    switch (static_cast<ManifestField>(i)) {
      case kFormatVersion: return read_u16(sc, m.format_version, ff);
      case kClock: return read_u64(sc, m.clock, ff);
      case kCommitSequence: return read_opt_u64(sc, m.commit_sequence, ff);
      case kLoggedWorkspace:
        if (sc.peek() == Kind::Null) return sc.null();
        if (sc.peek() != Kind::Bool) return wrong_type(sc, "a boolean", ff);
        return sc.boolean(m.logged_workspace.emplace());
      case kPageCount: return read_u64(sc, m.page_count, ff);
      case kTables:
        return read_sequence(sc, "a sequence", ff, [&](JsonScanner& sx, Fault& fx) {
          TableRead table;
          if (!read_table(sx, table, scratch, fx)) return false;
          if (!fx) {
            m.tables.push_back(std::move(table.meta));
            out.indexes.push_back(std::move(table.indexes));
          }
          return true;
        });
      case kCasHashes: return read_strings(sc, m.cas_hashes, ff);
      case kCasDir:
        return read_sequence(sc, "a sequence", ff,
                             [&](JsonScanner& sx, Fault& fx) { return read_extent(sx, m.cas_dir.emplace_back(), fx); });
      case kIndexRegion:
        if (sc.peek() == Kind::Null) return sc.null();
        return read_extent(sc, m.index_region.emplace(), ff);
      case kRetrievalIndexes: {
        if (sc.peek() != Kind::Array)
          return wrong_type(sc, "a sequence containing at most " + std::to_string(kMaxRetrievalDescriptors), ff);
        sc.enter_array();
        size_t count = 0;
        for (bool first = true; sc.more(first); ++count) {
          // Past the bound the list is refused whatever it holds.
          if (!(count < kMaxRetrievalDescriptors ? sc.node(m.retrieval_indexes.emplace_back()) : sc.skip()))
            return false;
        }
        if (count > kMaxRetrievalDescriptors) ff = "persistent retrieval sequence exceeds its limit";
        return !sc.failed();
      }
      case kManifestFieldCount: break;
    }
    return sc.skip();
  });
  if (!ok) return false;
  f = fields.verdict(kManifestFields, {kClock, kPageCount, kTables, kCasHashes}, /*missing_first=*/false);
  return true;
}

}  // namespace

Result<ManifestWithIndexes> read_manifest_with_indexes(std::string_view text) {
  {
    JsonScanner s(text);
    ManifestWithIndexes out;
    Fault fault;
    if (read_manifest(s, out, fault) && s.finish()) {
      if (fault) return fail(QmError::manifest(std::move(*fault)));
      return out;
    }
  }
  // The text itself is at fault, which comes before anything it holds: the parser words it.
  if (std::optional<std::string> error = json_syntax_error(text, kDefaultJsonDepth)) {
    if (error->rfind("JSON nesting exceeds", 0) == 0) return fail(QmError::manifest("recursion limit exceeded"));
    return fail(QmError::manifest(std::move(*error)));
  }
  // The scanner refused a text the parser takes: read it through the document instead.
  QM_ASSIGN(Manifest m, read_manifest_json(text));
  ManifestWithIndexes out;
  for (auto& t : m.tables) {
    auto& built = out.indexes.emplace_back();
    for (auto& stored : t.indexes)
      built.push_back(StoredIndex{stored.column, storage::SecondaryIndex::from_pairs(std::move(stored.pairs))});
    t.indexes.clear();
  }
  out.manifest = std::move(m);
  return out;
}

}  // namespace qm::db
