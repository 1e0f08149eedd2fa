// One committed logged transaction as a change record: the whole manifest after the commit,
// the after-image of every page it wrote and every blob it added. Owns the binary record
// ("QMCHG001", little-endian, no trailing bytes), the older JSON form that is still read
// (never written), the JSON in which records leave through the change feed, and the
// byte-capped buffer the encoder writes into.
//
// Invariants of decoding (both forms): a page is exactly 4096 bytes, a blob's name is 64
// hex digits and equals the BLAKE3 digest of its bytes, counts are checked against the
// bytes that remain before anything is reserved, and the first fault returns an error with
// nothing partial. Binary faults are Corruption; JSON faults of the older form are Manifest
// with the JSON reader's text, its content faults Corruption.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json_writer.h"

namespace qm::journal {

inline constexpr std::string_view kChangeMagic = "QMCHG001";

struct PageChange {
  uint64_t page_id = 0;
  std::string bytes;  // 4096 bytes
  friend bool operator==(const PageChange&, const PageChange&) = default;
};

struct BlobChange {
  std::string hash;  // 64 hex digits: the BLAKE3 name of the bytes
  std::string bytes;
  friend bool operator==(const BlobChange&, const BlobChange&) = default;
};

struct ChangeCommit {
  uint32_t schema_version = 1;
  uint64_t sequence = 0;
  uint64_t before_tx = 0;
  uint64_t after_tx = 0;
  std::string manifest;
  std::vector<PageChange> pages;  // ascending page id
  std::vector<BlobChange> blobs;  // in the manifest's blob order
  friend bool operator==(const ChangeCommit&, const ChangeCommit&) = default;
};

// A growing byte buffer that refuses to pass a fixed total length.
class LimitedBytes {
 public:
  explicit LimitedBytes(uint64_t limit) : limit_(limit) {}
  // Appends all of `data`, or nothing and Io "commit record byte limit" when it would not fit.
  Result<void> write_all(std::string_view data);
  const std::string& bytes() const { return bytes_; }
  std::string take() { return std::move(bytes_); }

 private:
  uint64_t limit_;
  std::string bytes_;
};

// Length of the binary record of `c`, without encoding it.
uint64_t encoded_change_size(const ChangeCommit& c);
// Writes the binary record; fails with the writer's error, leaving what fitted.
Result<void> encode_change(LimitedBytes& out, const ChangeCommit& c);
// Reads a binary record, or the older JSON form when the payload does not start with the magic.
Result<ChangeCommit> decode_change(std::string_view bytes);
// The older JSON form alone (depth-limited, streamed: no document is built).
Result<ChangeCommit> decode_legacy_change(std::string_view text);

// {"schema_version",...,"blobs"} with byte fields as arrays of numbers.
void write_change_json(JsonWriter& w, const ChangeCommit& c);
// A feed batch: a JSON array of records ([] when empty).
std::string changes_json(const std::vector<ChangeCommit>& batch);

}  // namespace qm::journal
