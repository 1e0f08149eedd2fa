// Commit-log directory entries, checked files and bounded walks (see files.h).
#include "journal/files.h"

#include <cerrno>
#include <cstdio>
#include <limits>

#include "core/blake3.h"
#include "core/fs.h"

namespace qm::journal {
namespace {

QmError not_directory(const std::string& path) {
  return QmError::corruption("expected real journal directory: " + path);
}
QmError not_regular(const std::string& path) { return QmError::corruption("expected regular journal file: " + path); }

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Opens a regular file for reading without following a link, checking the descriptor itself.
Result<fs::File> open_regular(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (!st) return fail(QmError::from_errno("lstat " + path, ENOENT));
  if (st->kind != fs::EntryKind::Regular) return fail(not_regular(path));
  QM_ASSIGN(fs::File f, fs::get().open(path, fs::kRead | fs::kNoFollow));
  QM_ASSIGN(fs::Stat opened, f.stat());
  if (opened.kind != fs::EntryKind::Regular) return fail(not_regular(path));
  return f;
}

}  // namespace

std::string log_dir(std::string_view root) { return fs::join(root, kLogDir); }

std::string sequence_name(uint64_t n) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%020llu", static_cast<unsigned long long>(n));
  return buf;
}

bool is_sequence_name(std::string_view name) {
  if (name.size() != 20) return false;
  for (char c : name)
    if (c < '0' || c > '9') return false;
  return true;
}

Result<uint64_t> parse_sequence(std::string_view name) {
  if (!is_sequence_name(name)) return fail(QmError::corruption("invalid journal entry name"));
  uint64_t v = 0;
  for (char c : name) {
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return fail(QmError::corruption("journal entry overflow"));
    v = v * 10 + d;
  }
  return v;
}

std::string chunk_path(std::string_view root, uint64_t page) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "chunk_%05llu.qmd", static_cast<unsigned long long>(page >> 14));
  return fs::join(fs::join(root, "chunks"), buf);
}

Result<bool> present(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().stat(path));
  return st.has_value();
}

Result<std::string> read_bounded(const std::string& path, uint64_t limit) {
  QM_ASSIGN(fs::File f, open_regular(path));
  QM_ASSIGN(uint64_t size, f.size());
  const bool unbounded = limit == std::numeric_limits<uint64_t>::max();
  std::string out;
  // Never reserve past the limit, whatever the file claims.
  out.resize(static_cast<size_t>(unbounded ? size : std::min(size, limit + 1)));
  QM_ASSIGN(size_t n, f.read_at({reinterpret_cast<uint8_t*>(out.data()), out.size()}, 0));
  out.resize(n);
  // The file may have grown since its size was taken: read on to its end or the limit + 1.
  uint8_t extra[4096];
  while (unbounded || out.size() <= limit) {
    size_t want = sizeof extra;
    if (!unbounded) want = static_cast<size_t>(std::min<uint64_t>(want, limit + 1 - out.size()));
    QM_ASSIGN(size_t m, f.read_at({extra, want}, out.size()));
    if (m == 0) break;
    out.append(reinterpret_cast<const char*>(extra), m);
  }
  if (!unbounded && out.size() > limit) return fail(QmError::resource_limit("journal file exceeds byte limit"));
  return out;
}

Result<std::string> read_checked(const std::string& path) {
  QM_ASSIGN(std::string bytes, read_bounded(path, kMaxCheckedFile));
  if (bytes.size() < kDigestSize) return fail(QmError::corruption("commit log checksum mismatch"));
  std::string_view payload = std::string_view(bytes).substr(kDigestSize);
  Digest d = blake3(payload);
  if (std::string_view(reinterpret_cast<const char*>(d.data()), d.size()) != std::string_view(bytes).substr(0, kDigestSize))
    return fail(QmError::corruption("commit log checksum mismatch"));
  bytes.erase(0, kDigestSize);
  return bytes;
}

std::string checked_bytes(std::string_view payload) {
  Digest d = blake3(payload);
  std::string out(reinterpret_cast<const char*>(d.data()), d.size());
  out.append(payload);
  return out;
}

Result<fs::File> write_checked_unsynced(const std::string& path, std::string_view payload) {
  QM_ASSIGN(fs::File f, fs::get().open(path, fs::kWrite | fs::kCreate | fs::kExclusive | fs::kNoFollow, 0666));
  Digest d = blake3(payload);
  QM_TRY(f.write_all_at(d, 0));
  QM_TRY(f.write_all_at(payload, kDigestSize));
  return f;
}

Result<void> write_checked(const std::string& path, std::string_view payload) {
  QM_ASSIGN(fs::File f, write_checked_unsynced(path, payload));
  return f.sync();
}

Result<void> safe_directory(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (!st) return fail(QmError::from_errno("lstat " + path, ENOENT));
  if (st->kind != fs::EntryKind::Directory) return fail(not_directory(path));
  return {};
}

Result<void> safe_file(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (!st) return fail(QmError::from_errno("lstat " + path, ENOENT));
  if (st->kind != fs::EntryKind::Regular) return fail(not_regular(path));
  return {};
}

Result<void> sync_dir(const std::string& path) { return fs::get().sync_dir(path); }

Result<uint64_t> tree_size_bounded(const std::string& path, unsigned depth, uint64_t& counter) {
  if (depth > kMaxWalkDepth) return fail(QmError::resource_limit("commit log directory nesting exceeds limit"));
  QM_TRY(safe_directory(path));
  QM_ASSIGN(auto names, fs::get().list_dir_bounded(path, kMaxWalkEntries));
  uint64_t total = 0;
  for (const auto& name : names) {
    if (++counter > kMaxWalkEntries) return fail(QmError::resource_limit("commit log entry count exceeds limit"));
    std::string child = fs::join(path, name);
    QM_ASSIGN(auto st, fs::get().lstat(child));
    if (!st) continue;  // removed since the listing: it holds no bytes any more
    if (st->kind == fs::EntryKind::Directory) {
      QM_ASSIGN(uint64_t sub, tree_size_bounded(child, depth + 1, counter));
      total = saturating_add(total, sub);
    } else if (st->kind == fs::EntryKind::Symlink) {
      return fail(QmError::corruption("symlink in commit log"));
    } else {
      total = saturating_add(total, st->size);
    }
  }
  return total;
}

Result<void> remove_tree(const std::string& path) { return fs::get().remove_tree(path); }

Result<void> cleanup_inactive(const std::string& log) {
  for (std::string_view name : {kPreparing, kDiscarded}) {
    std::string path = fs::join(log, name);
    QM_ASSIGN(bool there, present(path));
    if (!there) continue;
    uint64_t counter = 0;
    QM_TRY(tree_size_bounded(path, 0, counter));
    QM_TRY(remove_tree(path));
  }
  return {};
}

Result<void> read_page(std::string_view root, uint64_t page, std::span<uint8_t> out) {
  ChunkPageReader reader{std::string(root)};
  return reader.read(page, out);
}

Result<void> ChunkPageReader::read(uint64_t page, std::span<uint8_t> out) {
  const uint64_t chunk = page / kPagesPerChunk;
  if (!file_.is_open() || chunk_ != chunk) {
    file_.close();
    QM_TRY(safe_directory(fs::join(root_, "chunks")));
    QM_ASSIGN(file_, open_regular(chunk_path(root_, page)));
    chunk_ = chunk;
  }
  return file_.read_exact_at(out.first(kJournalPageSize), (page & (kPagesPerChunk - 1)) << 12);
}

}  // namespace qm::journal
