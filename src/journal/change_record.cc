// Binary change records and their feed JSON (see change_record.h).
#include "journal/change_record.h"

#include <array>
#include <limits>

#include "core/blake3.h"
#include "core/bytes.h"

namespace qm::journal {
namespace {

constexpr uint64_t kPageEntry = 8 + 4096;
constexpr uint64_t kBlobEntryMin = 64 + 8;

QmError truncated() { return QmError::corruption("truncated binary commit"); }

// The decoder's cursor: each read takes all it asks for or fails and takes nothing.
class Input {
 public:
  explicit Input(std::string_view rest) : r_(as_bytes(rest)) {}
  Result<uint64_t> number() {
    auto v = r_.u64();
    if (!v) return fail(truncated());
    return *v;
  }
  Result<std::string_view> take(uint64_t n) {
    if (n > r_.remaining()) return fail(truncated());
    return as_chars(*r_.bytes(static_cast<size_t>(n)));
  }
  uint64_t remaining() const { return r_.remaining(); }

 private:
  ByteReader r_;
};

bool is_hex(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

// "0,".."255," once, so a 4096-byte page is written without a conversion per byte.
const std::array<std::string, 256>& byte_texts() {
  static const std::array<std::string, 256> texts = [] {
    std::array<std::string, 256> t;
    for (int i = 0; i < 256; ++i) t[i] = std::to_string(i) + ",";
    return t;
  }();
  return texts;
}

void write_bytes(JsonWriter& w, std::string_view bytes) {
  thread_local std::string scratch;
  scratch.clear();
  scratch.reserve(bytes.size() * 4 + 2);
  scratch.push_back('[');
  const auto& texts = byte_texts();
  for (unsigned char b : bytes) scratch += texts[b];
  if (!bytes.empty()) scratch.pop_back();
  scratch.push_back(']');
  w.raw(scratch);
}

Result<void> put_u64(LimitedBytes& out, uint64_t v) {
  char buf[8];
  store_u64(reinterpret_cast<uint8_t*>(buf), v);
  return out.write_all({buf, 8});
}

}  // namespace

Result<void> LimitedBytes::write_all(std::string_view data) {
  if (data.empty()) return {};
  if (data.size() > limit_ || bytes_.size() > limit_ - data.size()) return fail(QmError::io("commit record byte limit"));
  bytes_.append(data);
  return {};
}

uint64_t encoded_change_size(const ChangeCommit& c) {
  uint64_t n = 40 + c.manifest.size() + 8 + c.pages.size() * kPageEntry + 8;
  for (const auto& b : c.blobs) n += kBlobEntryMin + b.bytes.size();
  return n;
}

Result<void> encode_change(LimitedBytes& out, const ChangeCommit& c) {
  QM_TRY(out.write_all(kChangeMagic));
  QM_TRY(put_u64(out, c.sequence));
  QM_TRY(put_u64(out, c.before_tx));
  QM_TRY(put_u64(out, c.after_tx));
  QM_TRY(put_u64(out, c.manifest.size()));
  QM_TRY(out.write_all(c.manifest));
  QM_TRY(put_u64(out, c.pages.size()));
  for (const auto& p : c.pages) {
    QM_TRY(put_u64(out, p.page_id));
    QM_TRY(out.write_all(p.bytes));
  }
  QM_TRY(put_u64(out, c.blobs.size()));
  for (const auto& b : c.blobs) {
    QM_TRY(out.write_all(b.hash));
    QM_TRY(put_u64(out, b.bytes.size()));
    QM_TRY(out.write_all(b.bytes));
  }
  return {};
}

Result<ChangeCommit> decode_change(std::string_view bytes) {
  if (bytes.size() < 8 || bytes.substr(0, 8) != kChangeMagic) return decode_legacy_change(bytes);
  if (bytes.size() < 40 || load_u64(reinterpret_cast<const uint8_t*>(bytes.data()) + 32) > bytes.size() - 40)
    return fail(truncated());
  Input in(bytes.substr(8));
  ChangeCommit c;
  QM_ASSIGN(c.sequence, in.number());
  QM_ASSIGN(c.before_tx, in.number());
  QM_ASSIGN(c.after_tx, in.number());
  QM_ASSIGN(uint64_t manifest_len, in.number());
  QM_ASSIGN(std::string_view manifest, in.take(manifest_len));
  c.manifest.assign(manifest);
  QM_ASSIGN(uint64_t page_count, in.number());
  if (page_count > in.remaining() / kPageEntry) return fail(QmError::corruption("invalid binary commit page count"));
  c.pages.reserve(static_cast<size_t>(page_count));
  for (uint64_t i = 0; i < page_count; ++i) {
    PageChange p;
    QM_ASSIGN(p.page_id, in.number());
    QM_ASSIGN(std::string_view page, in.take(4096));
    p.bytes.assign(page);
    c.pages.push_back(std::move(p));
  }
  QM_ASSIGN(uint64_t blob_count, in.number());
  if (blob_count > in.remaining() / kBlobEntryMin) return fail(QmError::corruption("invalid binary commit blob count"));
  c.blobs.reserve(static_cast<size_t>(blob_count));
  for (uint64_t i = 0; i < blob_count; ++i) {
    BlobChange b;
    QM_ASSIGN(std::string_view hash, in.take(64));
    if (!is_hex(hash)) return fail(QmError::corruption("invalid binary commit blob hash"));
    QM_ASSIGN(uint64_t len, in.number());
    QM_ASSIGN(std::string_view data, in.take(len));
    if (blake3(data) != *digest_from_hex(hash)) return fail(QmError::corruption("commit blob hash mismatch"));
    b.hash.assign(hash);
    b.bytes.assign(data);
    c.blobs.push_back(std::move(b));
  }
  if (in.remaining() != 0) return fail(QmError::corruption("trailing binary commit data"));
  return c;
}

void write_change_json(JsonWriter& w, const ChangeCommit& c) {
  w.begin_object();
  w.key("schema_version").uint64(c.schema_version);
  w.key("sequence").uint64(c.sequence);
  w.key("before_tx").uint64(c.before_tx);
  w.key("after_tx").uint64(c.after_tx);
  w.key("manifest");
  write_bytes(w, c.manifest);
  w.key("pages").begin_array();
  for (const auto& p : c.pages) {
    w.begin_object().key("page_id").uint64(p.page_id).key("bytes");
    write_bytes(w, p.bytes);
    w.end_object();
  }
  w.end_array();
  w.key("blobs").begin_array();
  for (const auto& b : c.blobs) {
    w.begin_object().key("hash").string(b.hash).key("bytes");
    write_bytes(w, b.bytes);
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

std::string changes_json(const std::vector<ChangeCommit>& batch) {
  std::string out;
  uint64_t estimate = 2;
  for (const auto& c : batch) estimate += 4 * encoded_change_size(c) + 256;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(estimate, uint64_t{1} << 32)));
  JsonWriter w(out);
  w.begin_array();
  for (const auto& c : batch) write_change_json(w, c);
  w.end_array();
  return out;
}

}  // namespace qm::journal
