// The commit log's directory `.qm-log` and the small file operations every commit-log step
// is built on: names of its entries, bounded reads, checked files (the BLAKE3 digest of the
// payload, then the payload), symlink-safe type checks, directory flushes, a bounded walk,
// tree removal and the journal's own reader of one page of the chunk files.
//
// Invariants:
// - every file the log writes inside `.qm-log` is a checked file created exclusively and
//   flushed before anything refers to it; nothing here renames (callers publish by renaming
//   a complete directory or temporary file);
// - type checks never follow a symbolic link: a path is opened with O_NOFOLLOW and the open
//   descriptor is checked (fstat), so a link swapped in after the check is not read through;
//   removals never follow links either. Existence tests (`present`) do follow links; only
//   "nothing there" is absence, any other failure to look is an i/o error, so a passing
//   fault is never taken for lost history;
// - reads stop after limit + 1 bytes and walks after 262,144 entries or five levels, so a
//   hostile tree cannot make any caller run or allocate without bound.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/fs.h"

namespace qm::journal {

inline constexpr std::string_view kLogDir = ".qm-log";
inline constexpr std::string_view kManifestName = "qm_manifest.json";
inline constexpr std::string_view kActive = "active";
inline constexpr std::string_view kPreparing = "preparing";
inline constexpr std::string_view kDiscarded = "discarded";
inline constexpr std::string_view kCheckpoint = "checkpoint";
inline constexpr std::string_view kChange = "change";
inline constexpr std::string_view kHeader = "header";
inline constexpr std::string_view kBefore = "before";
inline constexpr std::string_view kUndo = "undo";

inline constexpr uint64_t kJournalPageSize = 4096;
inline constexpr uint64_t kPagesPerChunk = 16384;
inline constexpr uint64_t kDigestSize = 32;
// The largest checked file read, digest included.
inline constexpr uint64_t kMaxCheckedFile = 268435456;
inline constexpr unsigned kMaxWalkDepth = 4;
inline constexpr uint64_t kMaxWalkEntries = 262144;

// `<root>/.qm-log`.
std::string log_dir(std::string_view root);
// The sequence (or page id) as exactly 20 decimal digits with leading zeros.
std::string sequence_name(uint64_t n);
// Whether a name is exactly 20 ASCII digits (the names of commit directories).
bool is_sequence_name(std::string_view name);
// The number a 20-digit name spells: Corruption "invalid journal entry name" or
// "journal entry overflow".
Result<uint64_t> parse_sequence(std::string_view name);

// `<root>/chunks/chunk_{page >> 14:05}.qmd`.
std::string chunk_path(std::string_view root, uint64_t page);

// Whether something is at the path, following links: false only when nothing is there;
// any other failure to look is Io.
Result<bool> present(const std::string& path);

// The bytes of a regular file (never through a link): Corruption "expected regular journal
// file: {}"; more than `limit` bytes: ResourceLimit "journal file exceeds byte limit".
Result<std::string> read_bounded(const std::string& path, uint64_t limit);
// The payload of a checked file; a short file or a wrong digest: Corruption "commit log
// checksum mismatch".
Result<std::string> read_checked(const std::string& path);
// Creates `path` (which must not exist) holding digest + payload, flushed; failures are Io.
Result<void> write_checked(const std::string& path, std::string_view payload);
// The same, not yet flushed: the open file is returned for the caller to flush together
// with others (fs::SyncGroup) before anything refers to it.
Result<fs::File> write_checked_unsynced(const std::string& path, std::string_view payload);
// The checked-file bytes of a payload: its digest, then the payload.
std::string checked_bytes(std::string_view payload);

// A real directory, not a link to one: Corruption "expected real journal directory: {}".
Result<void> safe_directory(const std::string& path);
// A regular file, not a link to one: Corruption "expected regular journal file: {}".
Result<void> safe_file(const std::string& path);
// Flushes a directory's entries to stable storage (Io).
Result<void> sync_dir(const std::string& path);

// Total size of the files below `path`, which must be a real directory; `depth` is the
// level of `path` (callers pass 0) and `counter` counts entries over the whole walk.
// ResourceLimit "commit log directory nesting exceeds limit" / "commit log entry count
// exceeds limit"; a link: Corruption "symlink in commit log". Sums saturate.
Result<uint64_t> tree_size_bounded(const std::string& path, unsigned depth, uint64_t& counter);
// Removes `preparing` and `discarded` of the log directory `log` after a bounded walk of
// each (whose errors are returned, leaving that tree in place).
Result<void> cleanup_inactive(const std::string& log);
// Removes a tree without following links (Io).
Result<void> remove_tree(const std::string& path);

// Page `page` of the workspace's chunk files, read from disk past any cache. `chunks` must
// be a real directory and the chunk file a regular file; a short file is Io.
Result<void> read_page(std::string_view root, uint64_t page, std::span<uint8_t> out);

// `read_page` for a run of pages: the chunk file stays open (checked once) while the pages
// asked for stay in it, so reading back a transaction's pages opens each chunk once.
class ChunkPageReader {
 public:
  explicit ChunkPageReader(std::string root) : root_(std::move(root)) {}
  Result<void> read(uint64_t page, std::span<uint8_t> out);

 private:
  std::string root_;
  uint64_t chunk_ = 0;
  fs::File file_;
};

}  // namespace qm::journal
