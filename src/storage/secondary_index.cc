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

SecondaryIndex SecondaryIndex::from_pairs(IndexPairs pairs) {
  SecondaryIndex idx;
  for (auto& [key, ids] : pairs) {
    idx.count_ += ids.size();
    auto [it, inserted] = idx.map_.try_emplace(std::move(key));
    if (inserted) it->second = std::move(ids);
    else it->second.insert(it->second.end(), ids.begin(), ids.end());
  }
  return idx;
}

IndexPairs SecondaryIndex::to_pairs() const {
  IndexPairs out;
  out.reserve(map_.size());
  for (const auto& [key, ids] : map_) out.emplace_back(key, ids);
  return out;
}

void SecondaryIndex::insert(const Value& key, uint64_t row_id) {
  auto it = map_.find(key);
  if (it == map_.end()) it = map_.emplace(key, std::vector<uint64_t>{}).first;
  it->second.push_back(row_id);
  ++count_;
}

std::span<const uint64_t> SecondaryIndex::lookup(const Value& key) const {
  auto it = map_.find(key);
  if (it == map_.end()) return {};
  return it->second;
}

std::pair<SecondaryIndex::Map::const_iterator, SecondaryIndex::Map::const_iterator> SecondaryIndex::range_bounds(
    const KeyRange& range) const {
  using K = Bound::Kind;
  const Bound& lo = range.lower;
  const Bound& hi = range.upper;
  if (lo.kind != K::Unbounded && hi.kind != K::Unbounded) {
    auto order = compare(lo.value, hi.value);
    // An inverted range, or one whose bounds exclude their common key, holds nothing.
    if (order > 0 || (order == 0 && (lo.kind == K::Excluded || hi.kind == K::Excluded))) return {map_.end(), map_.end()};
  }
  auto first = lo.kind == K::Unbounded  ? map_.begin()
               : lo.kind == K::Included ? map_.lower_bound(lo.value)
                                        : map_.upper_bound(lo.value);
  auto last = hi.kind == K::Unbounded  ? map_.end()
              : hi.kind == K::Included ? map_.upper_bound(hi.value)
                                       : map_.lower_bound(hi.value);
  return {first, last};
}

void SecondaryIndex::append_range(const KeyRange& range, std::vector<uint64_t>& out) const {
  auto [it, end] = range_bounds(range);
  for (; it != end; ++it) out.insert(out.end(), it->second.begin(), it->second.end());
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
  for (uint32_t k = 0; k < *keys; ++k) {
    QM_ASSIGN(Value key, read_key(rd));
    if (idx.map_.contains(key)) return fail(corrupt("index: duplicate key entry in binary encoding"));
    auto n = rd.u32();
    if (!n) return fail(corrupt("index: truncated u32"));
    std::vector<uint64_t> ids;
    // Never more than the input could hold, and at most 1024 ahead of the ids' arrival.
    ids.reserve(std::min<size_t>({*n, rd.remaining() / 8, 1024}));
    for (uint32_t i = 0; i < *n; ++i) {
      auto id = rd.u64();
      if (!id) return fail(corrupt("index: truncated u64"));
      ids.push_back(*id);
    }
    idx.count_ += ids.size();
    idx.map_.emplace(std::move(key), std::move(ids));
  }
  if (!rd.at_end()) return fail(corrupt("index: trailing bytes after declared keys"));
  return idx;
}

}  // namespace qm::storage
