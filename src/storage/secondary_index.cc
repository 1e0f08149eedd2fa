#include "storage/secondary_index.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "core/utf8.h"

namespace qm::storage {
namespace {

enum KeyTag : uint8_t { kNull = 0, kInt = 1, kText = 2, kBlob = 3, kDecimal = 6 };

QmError corrupt(const char* what) { return QmError::corruption(what); }

Result<Value> read_key(ByteReader& rd) {
  auto tag = rd.u8();
  if (!tag) return fail(corrupt("index: truncated at value tag"));
  switch (*tag) {
    case kNull:
      return Value();
    case kInt: {
      auto v = rd.i64();
      if (!v) return fail(corrupt("index: truncated u64"));
      return Value::integer(*v);
    }
    case kDecimal: {
      auto raw = rd.bytes(16);
      if (!raw) return fail(corrupt("index: truncated i128"));
      i128 m;
      std::memcpy(&m, raw->data(), 16);
      return Value::decimal(m);
    }
    case kText:
    case kBlob: {
      auto len = rd.u32();
      if (!len) return fail(corrupt("index: truncated u32"));
      auto payload = rd.bytes(*len);
      if (!payload) return fail(corrupt("index: truncated payload"));
      if (*tag == kBlob) return Value::blob(*payload);
      if (!is_valid_utf8(as_chars(*payload))) return fail(corrupt("index: invalid utf-8 key"));
      return Value::text(std::string(as_chars(*payload)));
    }
    default: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "index: bad value tag 0x%02X", static_cast<unsigned>(*tag));
      return fail(QmError::corruption(buf));
    }
  }
}

}  // namespace

// ---- positions over the kinds ----------------------------------------------------------------

const detail::LeafHead* SecondaryIndex::first_leaf(uint8_t seg) const {
  switch (seg) {
    case kNulls: return nulls_.first_leaf();
    case kInts: return ints_.first_leaf();
    case kDecimals: return decimals_.first_leaf();
    case kTexts: return texts_.first_leaf();
    case kBlobs: return blobs_.first_leaf();
    default: return nullptr;
  }
}

const detail::LeafHead* SecondaryIndex::last_leaf(uint8_t seg) const {
  switch (seg) {
    case kNulls: return nulls_.last_leaf();
    case kInts: return ints_.last_leaf();
    case kDecimals: return decimals_.last_leaf();
    case kTexts: return texts_.last_leaf();
    case kBlobs: return blobs_.last_leaf();
    default: return nullptr;
  }
}

SecondaryIndex::Cursor SecondaryIndex::first_from(uint8_t seg) const {
  for (; seg < kEnd; ++seg)
    if (const detail::LeafHead* l = first_leaf(seg)) return {seg, l, 0};
  return {};
}

SecondaryIndex::Cursor SecondaryIndex::last_from(int seg) const {
  for (; seg >= kNulls; --seg)
    if (const detail::LeafHead* l = last_leaf(static_cast<uint8_t>(seg)))
      return {static_cast<uint8_t>(seg), l, static_cast<uint16_t>(l->size - 1)};
  return {kBeforeBegin, nullptr, 0};
}

void SecondaryIndex::advance(Cursor& c) const {
  if (c.seg == kBeforeBegin) {
    c = first_from(kNulls);
  } else if (c.leaf) {
    if (++c.i < c.leaf->size) return;
    if (c.leaf->next) {
      c.leaf = c.leaf->next;
      c.i = 0;
    } else {
      c = first_from(static_cast<uint8_t>(c.seg + 1));
    }
  }
}

void SecondaryIndex::retreat(Cursor& c) const {
  if (c.seg == kEnd) {
    c = last_from(kBlobs);
  } else if (c.leaf) {
    if (c.i > 0) {
      --c.i;
    } else if (c.leaf->prev) {
      c.leaf = c.leaf->prev;
      c.i = static_cast<uint16_t>(c.leaf->size - 1);
    } else {
      c = last_from(c.seg - 1);
    }
  }
}

namespace {

template <class K>
const K& key_of(const detail::LeafHead* leaf, uint16_t i) {
  return static_cast<const typename detail::KeyTree<K>::Leaf*>(leaf)->keys[i];
}

void set_bytes(Value& out, Value::Kind kind, std::string_view bytes) {
  // Reuses the buffer of a value of the same kind, so a walk over texts does not allocate
  // per key.
  if (out.kind() != kind) out = kind == Value::Kind::Text ? Value::text(std::string()) : Value::blob(std::string());
  out.mutable_bytes().assign(bytes);
}

}  // namespace

void SecondaryIndex::key_into(const Cursor& c, Value& out) const {
  switch (c.seg) {
    case kNulls: out.set_null(); break;
    case kInts: out.set_int(key_of<int64_t>(c.leaf, c.i)); break;
    case kDecimals: out.set_decimal(key_of<i128>(c.leaf, c.i)); break;
    case kTexts: set_bytes(out, Value::Kind::Text, key_of<std::string>(c.leaf, c.i)); break;
    case kBlobs: set_bytes(out, Value::Kind::Blob, key_of<std::string>(c.leaf, c.i)); break;
    default: break;
  }
}

SecondaryIndex::Cursor SecondaryIndex::seek(const Value& key, bool inclusive) const {
  auto at = [&](uint8_t seg, const auto& tree, auto probe) -> Cursor {
    auto p = tree.seek(probe, inclusive);
    if (p.leaf) return {seg, p.leaf, p.i};
    return first_from(static_cast<uint8_t>(seg + 1));
  };
  switch (key.kind()) {
    case Value::Kind::Null: return at(kNulls, nulls_, NullKey{});
    case Value::Kind::Int: return at(kInts, ints_, key.as_int());
    case Value::Kind::Decimal: return at(kDecimals, decimals_, key.as_decimal());
    case Value::Kind::Text: return at(kTexts, texts_, key.bytes());
    case Value::Kind::Blob: return at(kBlobs, blobs_, key.bytes());
  }
  return {};
}

std::pair<SecondaryIndex::Cursor, SecondaryIndex::Cursor> SecondaryIndex::range_bounds(const KeyRange& range) const {
  using K = Bound::Kind;
  const Bound& lo = range.lower;
  const Bound& hi = range.upper;
  if (lo.kind != K::Unbounded && hi.kind != K::Unbounded) {
    auto order = compare(lo.value, hi.value);
    // An inverted range, or one whose bounds exclude their common key, holds nothing.
    if (order > 0 || (order == 0 && (lo.kind == K::Excluded || hi.kind == K::Excluded))) return {};
  }
  Cursor first = lo.kind == K::Unbounded ? first_from(kNulls) : seek(lo.value, lo.kind == K::Included);
  Cursor last = hi.kind == K::Unbounded ? Cursor{} : seek(hi.value, hi.kind == K::Excluded);
  return {first, last};
}

// ---- building -----------------------------------------------------------------------------

std::pair<std::pair<detail::LeafHead*, uint16_t>, bool> SecondaryIndex::emplace(const Value& key) {
  auto put = [](auto& tree, auto probe) -> std::pair<std::pair<detail::LeafHead*, uint16_t>, bool> {
    auto [pos, created] = tree.emplace(probe);
    return {{pos.leaf, pos.i}, created};
  };
  switch (key.kind()) {
    case Value::Kind::Null: return put(nulls_, NullKey{});
    case Value::Kind::Int: return put(ints_, key.as_int());
    case Value::Kind::Decimal: return put(decimals_, key.as_decimal());
    case Value::Kind::Text: return put(texts_, key.bytes());
    case Value::Kind::Blob: break;
  }
  return put(blobs_, key.bytes());
}

SecondaryIndex SecondaryIndex::from_pairs(IndexPairs pairs) {
  SecondaryIndex idx;
  for (const auto& [key, ids] : pairs) idx.append_ids(key, ids);
  return idx;
}

void SecondaryIndex::append_ids(const Value& key, std::span<const uint64_t> ids) {
  auto [at, created] = emplace(key);
  if (created) at.first->assign(at.second, ids);
  else
    for (uint64_t id : ids) at.first->append(at.second, id);
  count_ += ids.size();
}

IndexPairs SecondaryIndex::to_pairs() const {
  IndexPairs out;
  out.reserve(key_count());
  for (const auto& [key, ids] : map()) out.emplace_back(key, std::vector<uint64_t>(ids.begin(), ids.end()));
  return out;
}

void SecondaryIndex::reserve_ids(const Value& key, uint64_t n) {
  auto [at, created] = emplace(key);
  (void)created;
  at.first->reserve(at.second, n);
}

void SecondaryIndex::insert(const Value& key, uint64_t row_id) {
  auto [at, created] = emplace(key);
  at.first->append(at.second, row_id);
  ++count_;
}

bool SecondaryIndex::remove_last(const Value& key, uint64_t row_id) {
  bool removed = false;
  switch (key.kind()) {
    case Value::Kind::Null: removed = nulls_.remove_last(NullKey{}, row_id); break;
    case Value::Kind::Int: removed = ints_.remove_last(key.as_int(), row_id); break;
    case Value::Kind::Decimal: removed = decimals_.remove_last(key.as_decimal(), row_id); break;
    case Value::Kind::Text: removed = texts_.remove_last(key.bytes(), row_id); break;
    case Value::Kind::Blob: removed = blobs_.remove_last(key.bytes(), row_id); break;
  }
  if (removed) --count_;
  return removed;
}

// ---- reading ------------------------------------------------------------------------------

size_t SecondaryIndex::key_count() const {
  return nulls_.size() + ints_.size() + decimals_.size() + texts_.size() + blobs_.size();
}

std::span<const uint64_t> SecondaryIndex::lookup(const Value& key) const {
  auto ids = [](const auto& tree, auto probe) -> std::span<const uint64_t> {
    auto p = tree.find(probe);
    return p.leaf ? p.leaf->ids(p.i) : std::span<const uint64_t>();
  };
  switch (key.kind()) {
    case Value::Kind::Null: return ids(nulls_, NullKey{});
    case Value::Kind::Int: return ids(ints_, key.as_int());
    case Value::Kind::Decimal: return ids(decimals_, key.as_decimal());
    case Value::Kind::Text: return ids(texts_, key.bytes());
    case Value::Kind::Blob: break;
  }
  return ids(blobs_, key.bytes());
}

void SecondaryIndex::append_range(const KeyRange& range, std::vector<uint64_t>& out) const {
  auto [at, end] = range_bounds(range);
  for (; at != end; advance(at)) {
    auto ids = ids_at(at);
    out.insert(out.end(), ids.begin(), ids.end());
  }
}

bool operator==(const SecondaryIndex& a, const SecondaryIndex& b) {
  if (a.count_ != b.count_ || a.key_count() != b.key_count()) return false;
  auto x = a.map().begin();
  for (const auto& [key, ids] : b.map()) {
    if (x->first != key || !std::ranges::equal(x->second, ids)) return false;
    ++x;
  }
  return true;
}

Result<std::string> SecondaryIndex::encode_binary() const { return detail::encode_index_binary(*this, UINT32_MAX); }

Result<std::string> detail::encode_index_binary(const SecondaryIndex& index, uint64_t max_count) {
  auto too_large = [&] {
    return QmError::resource_limit("secondary index too large for its binary form (over " + std::to_string(max_count) +
                                   " entries)");
  };
  if (index.key_count() > max_count) return fail(too_large());
  // One walk over the keys, each entry stored through a cursor into a buffer that grows by
  // doubling: sized up front for integer keys (tag, 8 bytes, count) with their ids, which
  // is exact for the common index, and grown for wider keys.
  std::string out(4 + 13 * index.key_count() + 8 * index.count(), '\0');
  size_t pos = 0;
  auto room = [&](size_t n) {
    if (out.size() - pos < n) out.resize(std::max(out.size() * 2, pos + n));
    return reinterpret_cast<uint8_t*>(out.data()) + pos;
  };
  store_u32(room(4), static_cast<uint32_t>(index.key_count()));
  pos += 4;
  for (const auto& [key, ids] : index.map()) {
    if (ids.size() > max_count) return fail(too_large());
    size_t key_size = 1;
    switch (key.kind()) {
      case Value::Kind::Null: break;
      case Value::Kind::Int: key_size += 8; break;
      case Value::Kind::Decimal: key_size += 16; break;
      case Value::Kind::Text:
      case Value::Kind::Blob: key_size += 4 + key.bytes().size(); break;
    }
    uint8_t* p = room(key_size + 4 + 8 * ids.size());
    switch (key.kind()) {
      case Value::Kind::Null: *p++ = kNull; break;
      case Value::Kind::Int:
        *p++ = kInt;
        store_u64(p, static_cast<uint64_t>(key.as_int()));
        p += 8;
        break;
      case Value::Kind::Decimal: {
        *p++ = kDecimal;
        const i128 m = key.as_decimal();
        std::memcpy(p, &m, 16);
        p += 16;
        break;
      }
      case Value::Kind::Text:
      case Value::Kind::Blob: {
        *p++ = key.is_text() ? kText : kBlob;
        const std::string_view b = key.bytes();
        store_u32(p, static_cast<uint32_t>(b.size()));
        p += 4;
        if (!b.empty()) std::memcpy(p, b.data(), b.size());
        p += b.size();
        break;
      }
    }
    store_u32(p, static_cast<uint32_t>(ids.size()));
    p += 4;
    for (uint64_t id : ids) {
      store_u64(p, id);
      p += 8;
    }
    pos += key_size + 4 + 8 * ids.size();
  }
  out.resize(pos);
  return out;
}

Result<SecondaryIndex> SecondaryIndex::decode_binary(std::span<const uint8_t> bytes) {
  ByteReader rd(bytes);
  auto keys = rd.u32();
  if (!keys) return fail(corrupt("index: truncated u32"));
  SecondaryIndex idx;
  std::vector<uint64_t> ids;
  for (uint32_t k = 0; k < *keys; ++k) {
    QM_ASSIGN(Value key, read_key(rd));
    auto [at, created] = idx.emplace(key);
    if (!created) return fail(corrupt("index: duplicate key entry in binary encoding"));
    auto n = rd.u32();
    if (!n) return fail(corrupt("index: truncated u32"));
    // A count the input cannot hold fails as its first missing id would, before any
    // storage is taken for it.
    if (*n > rd.remaining() / 8) return fail(corrupt("index: truncated u64"));
    ids.resize(*n);
    for (uint64_t& id : ids) id = *rd.u64();
    at.first->assign(at.second, ids);
    idx.count_ += ids.size();
  }
  if (!rd.at_end()) return fail(corrupt("index: trailing bytes after declared keys"));
  return idx;
}

}  // namespace qm::storage
