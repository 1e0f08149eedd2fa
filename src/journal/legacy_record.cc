// The older JSON form of a change record, read (never written) by a streaming handler over
// the JSON library's SAX parser. A document model would cost a node per byte of every page
// (tens of bytes each) where this keeps one byte, so a record near the 256 MiB file limit
// cannot multiply into gigabytes. Unknown keys are skipped at every level, nesting is
// bounded like the manifest's, and the decoded record gets the binary form's content checks.
#include <new>
#include <nlohmann/json.hpp>

#include "core/blake3.h"
#include "core/json_reader.h"
#include "core/json_sax.h"
#include "journal/change_record.h"

namespace qm::journal {
namespace {

constexpr size_t kMaxDepth = 128;

enum class Slot : uint8_t {
  Unknown,  // the value of a key nobody reads: skipped whole
  Record,
  SchemaVersion,
  Sequence,
  BeforeTx,
  AfterTx,
  Manifest,
  Pages,
  Blobs,
  Page,
  Blob,
  PageId,
  Hash,
  Bytes,  // a byte array field
  Byte,   // one element of a byte array
};

struct Frame {
  Slot slot;          // what this container is
  unsigned seen = 0;  // bit per field of a structure already given
  Slot pending = Slot::Unknown;
};

class LegacyHandler final : public nlohmann::json_sax<nlohmann::json> {
 public:
  ChangeCommit commit;
  std::string error;

  bool null() override { return scalar("null"); }
  bool boolean(bool) override { return scalar("boolean"); }
  bool number_integer(number_integer_t v) override {
    Slot s = expected();
    if (s == Slot::Unknown) return true;
    if (is_number_slot(s)) return fail_with("invalid value: integer `" + std::to_string(v) + "`, expected " + name_of(s));
    return scalar("integer");
  }
  bool number_unsigned(number_unsigned_t v) override {
    Slot s = expected();
    switch (s) {
      case Slot::Unknown: return true;
      case Slot::Byte:
        if (v > 255) return fail_with("invalid value: integer `" + std::to_string(v) + "`, expected u8");
        bytes_->push_back(static_cast<char>(v));
        return true;
      case Slot::SchemaVersion:
        if (v > 0xffffffffu) return fail_with("invalid value: integer `" + std::to_string(v) + "`, expected u32");
        commit.schema_version = static_cast<uint32_t>(v);
        return true;
      case Slot::Sequence: commit.sequence = v; return true;
      case Slot::BeforeTx: commit.before_tx = v; return true;
      case Slot::AfterTx: commit.after_tx = v; return true;
      case Slot::PageId: commit.pages.back().page_id = v; return true;
      default: return scalar("integer");
    }
  }
  bool number_float(number_float_t, const string_t&) override { return scalar("floating point"); }
  bool string(string_t& s) override {
    Slot slot = expected();
    if (slot == Slot::Unknown) return true;
    if (slot == Slot::Hash) {
      commit.blobs.back().hash = std::move(s);
      return true;
    }
    return scalar("string");
  }
  bool binary(binary_t&) override { return fail_with("unexpected binary value"); }

  bool start_object(std::size_t) override {
    if (stack_.size() >= kMaxDepth) return fail_with("recursion limit exceeded");
    Slot s = expected();
    switch (s) {
      case Slot::Unknown:
      case Slot::Record: break;
      case Slot::Page: commit.pages.emplace_back(); break;
      case Slot::Blob: commit.blobs.emplace_back(); break;
      default: return fail_with(json_invalid_type("map", name_of(s)));
    }
    stack_.push_back({s});
    return true;
  }
  bool key(string_t& k) override {
    Frame& f = stack_.back();
    f.pending = Slot::Unknown;
    if (f.slot == Slot::Unknown) return true;
    static constexpr std::pair<std::string_view, Slot> kRecord[] = {
        {"schema_version", Slot::SchemaVersion}, {"sequence", Slot::Sequence}, {"before_tx", Slot::BeforeTx},
        {"after_tx", Slot::AfterTx}, {"manifest", Slot::Manifest}, {"pages", Slot::Pages}, {"blobs", Slot::Blobs}};
    static constexpr std::pair<std::string_view, Slot> kPage[] = {{"page_id", Slot::PageId}, {"bytes", Slot::Bytes}};
    static constexpr std::pair<std::string_view, Slot> kBlob[] = {{"hash", Slot::Hash}, {"bytes", Slot::Bytes}};
    using Fields = std::span<const std::pair<std::string_view, Slot>>;
    Fields fields = f.slot == Slot::Record ? Fields(kRecord) : f.slot == Slot::Page ? Fields(kPage) : Fields(kBlob);
    for (size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].first != k) continue;
      if (f.seen & (1u << i)) return fail_with(json_duplicate_field(k));
      f.seen |= 1u << i;
      f.pending = fields[i].second;
      if (f.pending == Slot::Bytes)
        bytes_target_ = f.slot == Slot::Page ? &commit.pages.back().bytes : &commit.blobs.back().bytes;
      else if (f.pending == Slot::Manifest)
        bytes_target_ = &commit.manifest;
    }
    return true;
  }
  bool end_object() override {
    Frame f = stack_.back();
    stack_.pop_back();
    if (f.slot == Slot::Record) return require(f.seen, 7, {"schema_version", "sequence", "before_tx", "after_tx", "manifest", "pages", "blobs"});
    if (f.slot == Slot::Page) return require(f.seen, 2, {"page_id", "bytes"});
    if (f.slot == Slot::Blob) return require(f.seen, 2, {"hash", "bytes"});
    return true;
  }
  bool start_array(std::size_t) override {
    if (stack_.size() >= kMaxDepth) return fail_with("recursion limit exceeded");
    Slot s = expected();
    switch (s) {
      case Slot::Unknown:
      case Slot::Pages:
      case Slot::Blobs: break;
      case Slot::Manifest:
      case Slot::Bytes:
        bytes_ = bytes_target_;
        bytes_->clear();
        s = Slot::Bytes;
        break;
      default: return fail_with(json_invalid_type("sequence", name_of(s)));
    }
    stack_.push_back({s});
    return true;
  }
  bool end_array() override {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    if (error.empty()) error = ex.what();
    return false;
  }

 private:
  // What the next value must be, from the innermost container.
  Slot expected() const {
    if (stack_.empty()) return Slot::Record;
    const Frame& f = stack_.back();
    switch (f.slot) {
      case Slot::Unknown: return Slot::Unknown;
      case Slot::Bytes: return Slot::Byte;
      case Slot::Pages: return Slot::Page;
      case Slot::Blobs: return Slot::Blob;
      default: return f.pending;
    }
  }
  static bool is_number_slot(Slot s) {
    return s == Slot::Byte || s == Slot::SchemaVersion || s == Slot::Sequence || s == Slot::BeforeTx ||
           s == Slot::AfterTx || s == Slot::PageId;
  }
  static std::string name_of(Slot s) {
    switch (s) {
      case Slot::Record: return "struct ChangeCommit";
      case Slot::Page: return "struct PageChange";
      case Slot::Blob: return "struct BlobChange";
      case Slot::Byte: return "u8";
      case Slot::SchemaVersion: return "u32";
      case Slot::Hash: return "a string";
      case Slot::Manifest:
      case Slot::Pages:
      case Slot::Blobs:
      case Slot::Bytes: return "a sequence";
      default: return "u64";
    }
  }
  bool scalar(const char* found) {
    Slot s = expected();
    if (s == Slot::Unknown) return true;
    return fail_with(json_invalid_type(found, name_of(s)));
  }
  bool require(unsigned seen, unsigned n, std::initializer_list<std::string_view> names) {
    unsigned i = 0;
    for (auto name : names) {
      if (i < n && !(seen & (1u << i))) return fail_with(json_missing_field(name));
      ++i;
    }
    return true;
  }
  bool fail_with(std::string msg) {
    if (error.empty()) error = std::move(msg);
    return false;
  }

  std::vector<Frame> stack_;
  std::string* bytes_target_ = nullptr;  // the byte field named by the last key
  std::string* bytes_ = nullptr;         // the byte array being filled
};

}  // namespace

Result<ChangeCommit> decode_legacy_change(std::string_view text) {
  LegacyHandler h;
  auto parsed = sax_parse_text(text, h);
  if (!parsed) return fail(QmError::manifest(parsed.error()));
  if (!*parsed) return fail(QmError::manifest(h.error.empty() ? "invalid JSON document" : h.error));
  ChangeCommit& c = h.commit;
  for (const auto& p : c.pages)
    if (p.bytes.size() != 4096) return fail(QmError::corruption("invalid legacy commit page length"));
  for (const auto& b : c.blobs) {
    auto d = b.hash.size() == 64 ? digest_from_hex(b.hash) : std::nullopt;
    if (!d) return fail(QmError::corruption("invalid legacy commit blob hash"));
    if (blake3(b.bytes) != *d) return fail(QmError::corruption("commit blob hash mismatch"));
  }
  return std::move(h.commit);
}

}  // namespace qm::journal
