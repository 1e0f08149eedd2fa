// CasStore: the content-addressed blob store. A blob is named by the BLAKE3-256 digest of its
// bytes and addressed inside the database by its blob index, its position in the store; the
// manifest lists the digests in index order ("cas_hashes"), so the index is stable only while
// that order is kept.
//
// Three forms: a workspace store whose blobs are also files `<root>/blobs/<2 hex>/<64 hex>`,
// a memory store, and a store over the blob pool of a mapped image (entries lend ranges of
// the shared mapping). Every form keeps the bytes it serves in memory or in the mapping; a
// workspace store never reads a blob file back after loading it.
//
// Invariants:
// - one entry per digest: put deduplicates, and a digest list naming one digest twice is
//   refused as Corruption (deduplicating it would shift every later blob index);
// - a workspace blob file is written to a temporary file and renamed into place; an existing
//   file is kept only when it is a regular file of the right size and digest, otherwise it is
//   replaced the same way. So an interrupted write never leaves a file that a later put keeps;
// - put does not flush; sync_data() makes every blob file written since the last sync (and
//   the directories that name them) durable. A caller that publishes blob indexes durably
//   (an atomic manifest write) runs it first.
// - the JSON text of the digest list (hashes_json) follows every change of the list: a blob
//   added appends its quoted name, truncate cuts the text back, an overwritten slot (replace,
//   undo_replaced) rewrites its name in place. Every name has the same width, so blob i's
//   name lies at a fixed offset and the text always equals the list encoded afresh.
#pragma once

#include <cstdint>
#include <memory>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/blake3.h"
#include "core/error.h"
#include "core/fs.h"

namespace qm::storage {

// (offset from the start of the pool, length) of one packed blob.
struct CasExtent {
  uint64_t offset = 0;
  uint64_t length = 0;
  friend bool operator==(const CasExtent&, const CasExtent&) = default;
};

struct PackedPool {
  std::string pool;                  // every blob in index order, back to back
  std::vector<CasExtent> directory;  // one extent per blob, in index order
};

// Told before a workspace store creates a blob file that the workspace did not hold, so that a
// scope which may be undone (a statement, a transaction) records the file first and its undo
// can remove it; an error leaves the file uncreated and the put failed. Files already there
// are never reported: they existed before the scope, and its undo must keep them.
class NewBlobFileWatcher {
 public:
  virtual ~NewBlobFileWatcher() = default;
  virtual Result<void> before_create(const Digest& digest) = 0;
};

class CasStore {
 public:
  // An empty workspace store rooted at the workspace directory; nothing is created on disk
  // until the first put.
  static CasStore new_dev(std::string root);
  // An empty store without files.
  static CasStore new_memory();
  // The store of an opened workspace: blob i is read from its file and must match hashes[i]
  // (Corruption "CAS blob {hex} failed integrity check"); a missing file is Io.
  static Result<CasStore> load_dev(std::string root, std::span<const std::string> hashes);
  // A workspace store made to hold exactly the blobs of `hashes`, in that order, as load_dev
  // would build it, when another handle changed the list: blobs it already holds keep their
  // bytes (a list that only grew keeps every entry in place), and only the files of the others
  // are read and checked, with load_dev's errors. On an error the store is as it was.
  Result<void> follow_listing(std::span<const std::string> hashes);
  // The store of a mapped image: blob i lies at pool_start + directory[i].offset. Checks, in
  // order: "CAS directory / hash catalog length mismatch", "CAS pool bounds are inconsistent",
  // then per blob "CAS offset overflow", "CAS extent overflow",
  // "CAS blob {i} extends past end of pool ({end} > {pool_end})" and the integrity check.
  static Result<CasStore> from_mapped(std::shared_ptr<const fs::Mapping> map, uint64_t pool_start,
                                      uint64_t pool_end, std::span<const CasExtent> directory,
                                      std::span<const std::string> hashes);

  // Stores bytes under their digest and returns the blob index; bytes already stored return
  // their existing index and write nothing. A workspace store writes the blob file first
  // (Io on failure, the store unchanged).
  Result<uint64_t> put(std::span<const uint8_t> bytes);
  Result<uint64_t> put(std::string_view bytes) {
    return put({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  }
  // Stores bytes in place of blob `index`: a value superseded by its next version (a
  // retrieval index republished) keeps one slot instead of growing the store. Only a slot
  // that replace() itself created and that no put has shared since is overwritten; any other
  // index (one past the end included) stores the bytes in a new slot, as put does. Bytes
  // already stored return their existing index, which is then shared and never overwritten.
  Result<uint64_t> replace(uint64_t index, std::span<const uint8_t> bytes);
  // The same for bytes whose BLAKE3 the caller already has (it must be their digest); they
  // are moved in rather than copied.
  Result<uint64_t> replace(uint64_t index, std::string&& bytes, const Digest& digest);
  // Whether replace(index, ...) would overwrite that slot (new bytes not stored elsewhere).
  bool replaceable(uint64_t index) const { return index < entries_.size() && entries_[index].replaceable; }
  // While on, the first overwrite of each slot below the count at the start keeps the slot's
  // former bytes, so a rollback can put them back (undo_replaced) before truncating the
  // slots added since. end_undo forgets them (commit).
  void begin_undo();
  void undo_replaced();
  void end_undo();
  // Whether slot `index` was overwritten since begin_undo (its bytes then are kept aside).
  bool replaced_since_undo_began(uint64_t index) const { return undo_ && undo_->contains(index); }
  // A memory store whose blobs lie in one buffer, a copy of an imported image's blob pool:
  // blobs are added in list order with put_listed_at. One allocation and one copy for the
  // whole pool, however many blobs it holds.
  static CasStore over_pool_copy(std::span<const uint8_t> pool);
  // A memory store whose blobs are lent from `bytes`, which never change while it lives (the
  // shared owner keeps them): an image a caller hands over whole.
  static CasStore lending(std::shared_ptr<const fs::Mapping> bytes);
  // Adds the blob at [offset, offset + length) of the bytes the store lends from (the pool
  // copy, or the bytes handed over; inside them: the caller checked) whose digest the caller
  // has computed and checked; a digest already held fails as put_listed does.
  Result<uint64_t> put_listed_at(uint64_t offset, uint64_t length, const Digest& digest);
  // Like put for a store being filled from a digest list (an image import): the bytes must
  // not be stored yet, else Corruption "CAS digest {hex} is listed twice".
  Result<uint64_t> put_listed(std::span<const uint8_t> bytes);
  // The same for bytes whose digest the caller has just computed and checked against the
  // list: they are not hashed again.
  Result<uint64_t> put_listed(std::span<const uint8_t> bytes, const Digest& digest);

  // Room for `count` blobs in all, before a store is filled from a digest list.
  void reserve(size_t count);
  // A memory store holding the same blobs at the same indexes (their digests taken as they
  // are), as importing a bake of this store would build it: a digest held twice fails as
  // put_listed would. Blobs lent from a pool or a mapping, whose bytes never change, are lent
  // from the same one (kept alive by both stores); blobs held one by one are copied.
  Result<CasStore> copy_to_memory() const;

  // The bytes of blob `index` (a mapped entry lends its range of the mapping); an index
  // outside the store is CasMiss "id {index}".
  Result<std::span<const uint8_t>> get(uint64_t index) const;
  // The index of a digest, if stored.
  std::optional<uint64_t> find(const Digest& digest) const;
  const Digest& digest(uint64_t index) const { return entries_[index].digest; }

  uint64_t count() const { return entries_.size(); }
  // Forgets the blobs from index `count` on (the undo of their puts in a memory store; a
  // workspace's files stay, unnamed, as after any put that was never committed).
  void truncate(uint64_t count);
  uint64_t total_bytes() const { return total_bytes_; }
  // The digests in index order as 64-digit lower-case hex (the manifest's "cas_hashes").
  std::vector<std::string> hashes_hex() const;
  // The elements of the manifest's "cas_hashes" array as compact JSON, without the brackets
  // (the quoted digests in index order, comma-separated): what encoding hashes_hex() would
  // give, kept as the list changes so that writing a manifest costs no encoding of every name.
  std::string_view hashes_json() const {
    return hashes_json_.empty() ? std::string_view() : std::string_view(hashes_json_).substr(0, hashes_json_.size() - 1);
  }
  // Every blob in index order in one pool, with each blob's (offset, length).
  PackedPool pack() const;
  // What pack() would return, without building the pool: its directory, and the pool's bytes
  // written by write_pool into a span of exactly the pool's length (a bake lays the pool
  // straight into the image).
  std::vector<CasExtent> pool_directory() const;
  void write_pool(std::span<uint8_t> out) const;
  // The workspace directory of a workspace store.
  const std::optional<std::string>& root() const { return root_; }
  // The watcher told of every blob file this store creates from now on, while it lives (a
  // scope's watcher goes with its scope, so nothing has to take it back).
  void watch_new_files(std::weak_ptr<NewBlobFileWatcher> watcher) { new_file_watcher_ = std::move(watcher); }

  // Flushes to stable storage every blob file written since the last sync and the
  // directories that name them; on failure everything stays pending for a retry.
  Result<void> sync_data();
  // The same flushes added to a caller's group; `synced` once it succeeded.
  void add_sync(fs::SyncGroup& group);
  void synced();
  // Blob files (and directories) written but not yet flushed.
  size_t pending_sync() const { return pending_files_.size() + pending_dirs_.size(); }
  // Nothing is due any more: a rolled-back transaction's blob files were removed (or are
  // named by no manifest), and its begin left nothing due.
  void forget_pending_sync() {
    pending_files_.clear();
    pending_dirs_.clear();
  }

 private:
  struct Entry {
    Digest digest{};
    std::string owned;  // the bytes, unless mapped
    uint64_t map_offset = 0;
    uint64_t map_length = 0;
    bool mapped = false;
    // Only a slot that replace() created and nobody else was handed since may be
    // overwritten: a put of the same bytes (a row value, say) shares the slot for good.
    bool replaceable = false;
  };
  std::optional<std::map<uint64_t, Entry>> undo_;
  uint64_t undo_limit_ = 0;
  struct DigestHash {
    size_t operator()(const Digest& d) const noexcept;
  };

  Result<void> write_blob_file(const Digest& digest, std::span<const uint8_t> bytes);
  uint64_t append(const Digest& digest, std::string owned);
  // Writes entries_[index]'s quoted name and its comma into hashes_json_ (index at most one
  // past the names already there).
  void set_name_text(uint64_t index);
  // `"<64 hex>",`: the width of each name in hashes_json_.
  static constexpr size_t kNameTextWidth = 67;

  std::vector<Entry> entries_;
  std::string hashes_json_;  // kNameTextWidth bytes per entry: `"<hex>",`
  std::unordered_map<Digest, uint64_t, DigestHash> by_digest_;
  std::optional<std::string> root_;
  std::shared_ptr<const fs::Mapping> map_;
  uint64_t total_bytes_ = 0;
  std::set<std::string> pending_files_;
  std::set<std::string> pending_dirs_;
  std::set<std::string> syncing_files_, syncing_dirs_;  // what the pending group flushes
  std::weak_ptr<NewBlobFileWatcher> new_file_watcher_;
};

namespace cas {

// 64 lower-case hex digits.
std::string hex(const Digest& digest);
// `<root>/blobs/<hex[0..2]>/<hex>`.
std::string blob_path(std::string_view root, std::string_view hex);
// The temporary file a blob file is written to before its rename: `<blob path>.tmp`.
inline std::string temp_path(std::string_view blob_path) { return std::string(blob_path) + ".tmp"; }
// Exactly 64 hex digits (either case): Corruption "bad CAS hash length: {len}" or
// "non-hex CAS digest".
Result<Digest> parse_hex32(std::string_view text);
// parse_hex32(text), then BLAKE3(bytes) must equal it: Corruption
// "CAS blob {text} failed integrity check".
Result<void> verify_blob_hash_hex(std::span<const uint8_t> bytes, std::string_view text);
// The same check for a blob whose digest is already computed: parse_hex32(text), which must
// equal `computed`; the same errors. Returns the parsed digest.
Result<Digest> verify_blob_digest_hex(const Digest& computed, std::string_view text);

}  // namespace cas
}  // namespace qm::storage
