// Commit-log inventory and recovery (see inventory.h).
#include "journal/inventory.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include "core/bytes.h"
#include "journal/change_record.h"
#include "journal/files.h"
#include "journal/journal_docs.h"

namespace qm::journal {
namespace {

constexpr uint64_t kUndoCharge = 4128;
constexpr uint64_t kMaxUndoBytes = 268435456;

bool same(const std::optional<fs::Stat>& a, const std::optional<fs::Stat>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return a->kind == b->kind && a->device == b->device && a->inode == b->inode && a->size == b->size &&
         a->ctime_ns == b->ctime_ns;
}

std::optional<fs::Stat> stat_or_none(const std::string& path) {
  auto st = fs::get().stat(path);
  if (!st) return std::nullopt;
  return *st;
}

// The manifest the inventory checks against: `before` of an active journal, else the
// workspace's; a missing or empty file is none.
Result<std::optional<std::string>> read_inventory_manifest(std::string_view root) {
  std::string before = fs::join(fs::join(log_dir(root), kActive), kBefore);
  std::string bytes;
  QM_ASSIGN(bool journaled, present(before));
  if (journaled) {
    QM_ASSIGN(bytes, read_checked(before));
  } else {
    std::string manifest = fs::join(root, kManifestName);
    QM_ASSIGN(auto st, fs::get().stat(manifest));
    if (!st) return std::optional<std::string>();
    // A directory in the manifest's place cannot be read as one: an i/o fault of the
    // workspace, as reading it at open would report, not damaged history.
    if (st->kind == fs::EntryKind::Directory) return fail(QmError::from_errno("read " + manifest, EISDIR));
    QM_ASSIGN(bytes, read_bounded(manifest, kMaxCheckedFile));
  }
  if (bytes.empty()) return std::optional<std::string>();
  return std::optional<std::string>(std::move(bytes));
}

QmError missing_unpruned() { return QmError::corruption("commit history is missing an unpruned sequence"); }
QmError missing_tail() {
  return QmError::corruption("commit history is missing its acknowledged tail; restore a verified backup");
}

QmError legacy_mismatch() {
  return QmError::corruption("legacy commit history does not match the database; restore a verified backup");
}

}  // namespace

bool ViewStamp::operator==(const ViewStamp& o) const {
  return same(log, o.log) && same(active, o.active) && same(undo, o.undo) && same(manifest, o.manifest) &&
         same(checkpoint, o.checkpoint);
}

ViewStamp view_stamp(std::string_view root) {
  std::string log = log_dir(root);
  const std::string active = fs::join(log, kActive);
  return {stat_or_none(log), stat_or_none(active), stat_or_none(fs::join(active, kUndo)),
          stat_or_none(fs::join(root, kManifestName)), stat_or_none(fs::join(log, kCheckpoint))};
}

Result<Inventory> inventory(std::string_view root) {
  Inventory inv;
  const std::string log = log_dir(root);
  QM_ASSIGN(bool logged, present(log));
  if (logged) {
    QM_TRY(safe_directory(log));
    QM_ASSIGN(auto names, fs::get().list_dir_bounded(log, kMaxWalkEntries));
    if (names.size() > kMaxWalkEntries) return fail(QmError::resource_limit("commit log entry count exceeds limit"));
    for (const auto& name : names) {
      if (!is_sequence_name(name)) continue;
      if (inv.sequences.size() >= kMaxRetainedCommits) return fail(QmError::resource_limit("too many retained commits"));
      QM_TRY(safe_directory(fs::join(log, name)));
      QM_ASSIGN(uint64_t seq, parse_sequence(name));
      inv.sequences.push_back(seq);
    }
    std::sort(inv.sequences.begin(), inv.sequences.end());
  }

  const std::string checkpoint = fs::join(log, kCheckpoint);
  QM_ASSIGN(bool checkpointed, present(checkpoint));
  if (checkpointed) {
    QM_ASSIGN(std::string payload, read_checked(checkpoint));
    if (payload.size() != 8) return fail(QmError::corruption("invalid log checkpoint"));
    inv.pruned_through = load_u64(reinterpret_cast<const uint8_t*>(payload.data()));
  }

  QM_ASSIGN(std::optional<std::string> manifest, read_inventory_manifest(root));
  std::optional<ManifestMeta> meta;
  if (manifest) {
    QM_ASSIGN(meta, read_manifest_meta(*manifest));
  }

  const uint64_t tip = inv.sequences.empty() ? inv.pruned_through : std::max(inv.pruned_through, inv.sequences.back());
  if (meta) {
    // A version this build cannot read says nothing about its marker: it is named first.
    if (meta->format_version > kMaxFormatVersion)
      return fail(QmError::corruption("unsupported workspace format version " + std::to_string(meta->format_version) +
                                      " (maximum " + std::to_string(kMaxFormatVersion) + ")"));
    if (meta->format_version >= 8 &&
        (!meta->logged_workspace || (!*meta->logged_workspace && tip > 0) ||
         *meta->logged_workspace != meta->commit_sequence.has_value()))
      return fail(QmError::corruption("format-8 logging marker/sequence anchor mismatch"));
    if (meta->format_version == 0)
      return fail(QmError::corruption("unsupported workspace format version " + std::to_string(meta->format_version) +
                                      "; this build reads up to " + std::to_string(kMaxFormatVersion)));
  }

  if (meta && meta->commit_sequence) {
    inv.head = *meta->commit_sequence;
  } else {
    inv.head = tip;
    auto above = std::upper_bound(inv.sequences.begin(), inv.sequences.end(), inv.pruned_through);
    if (above != inv.sequences.end()) {
      // Without an anchor the newest commit must be the state the manifest holds.
      uint64_t last = inv.sequences.back();
      const std::string change = fs::join(fs::join(log, sequence_name(last)), kChange);
      QM_ASSIGN(auto st, fs::get().lstat(change));
      if (!st) return fail(missing_tail());
      QM_ASSIGN(std::string bytes, read_checked(change));
      QM_ASSIGN(ChangeCommit c, decode_change(bytes));
      if (c.sequence != last || c.manifest != manifest.value_or(std::string())) return fail(legacy_mismatch());
    } else {
      // No commit and no checkpoint: nothing to verify, whatever the version (a workspace
      // that never committed under a log, or one whose log was never created).
      const bool empty_history = inv.sequences.empty() && inv.pruned_through == 0;
      const bool accepted = empty_history || !meta || meta->format_version < 6 ||
                            (meta->format_version >= 8 && meta->logged_workspace == false);
      if (!accepted)
        return fail(QmError::corruption(
            "legacy commit history has no verifiable sequence anchor; restore a verified backup"));
    }
  }

  if (inv.head < inv.pruned_through || inv.head < tip)
    return fail(QmError::corruption("commit history exceeds the manifest sequence anchor"));

  uint64_t expected = inv.pruned_through;
  for (uint64_t seq : inv.sequences) {
    if (seq <= inv.pruned_through) continue;
    if (seq != expected + 1) return fail(missing_unpruned());
    // A commit directory without its record lost that commit, as a missing directory would.
    const std::string change = fs::join(fs::join(log, sequence_name(seq)), kChange);
    QM_ASSIGN(auto st, fs::get().lstat(change));
    if (!st) return fail(seq == inv.sequences.back() ? missing_tail() : missing_unpruned());
    QM_TRY(safe_file(change));
    expected = seq;
  }
  if (expected != inv.head) return fail(missing_tail());
  return inv;
}

Result<uint64_t> head(std::string_view root) {
  QM_ASSIGN(Inventory inv, inventory(root));
  return inv.head;
}

Result<void> recover(std::string_view root) {
  const std::string log = log_dir(root);
  QM_ASSIGN(bool logged, present(log));
  if (!logged) {
    QM_TRY(inventory(root));
    return {};
  }
  QM_TRY(safe_directory(log));
  const std::string active = fs::join(log, kActive);
  QM_ASSIGN(bool interrupted, present(active));
  if (!interrupted) {
    QM_TRY(inventory(root));
    return cleanup_inactive(log);
  }
  QM_TRY(safe_directory(active));
  QM_ASSIGN(std::string header_text, read_checked(fs::join(active, kHeader)));
  QM_ASSIGN(Header header, read_header(header_text));
  QM_ASSIGN(std::string before, read_checked(fs::join(active, kBefore)));
  QM_ASSIGN(ManifestMeta meta, read_manifest_meta(before));
  if (header.before_tx != meta.clock || header.page_count != meta.page_count)
    return fail(QmError::corruption("journal header/manifest mismatch"));
  QM_ASSIGN(uint64_t committed, head(root));
  if (committed == std::numeric_limits<uint64_t>::max() || header.sequence != committed + 1)
    return fail(QmError::corruption("active journal sequence mismatch"));

  // Check every undo file before writing any page back.
  const std::string undo = fs::join(active, kUndo);
  QM_TRY(safe_directory(undo));
  QM_ASSIGN(auto names, fs::get().list_dir_bounded(undo, kMaxWalkEntries));
  if (names.size() > kMaxWalkEntries) return fail(QmError::resource_limit("undo journal too large"));
  std::vector<uint64_t> pages;
  for (const auto& name : names) {
    if (name.ends_with(".tmp")) continue;  // never renamed into place: its page was not written
    QM_ASSIGN(uint64_t id, parse_sequence(name));
    if (id >= header.page_count) return fail(QmError::corruption("undo page outside original image"));
    QM_ASSIGN(std::string payload, read_checked(fs::join(undo, name)));
    if (payload.size() != kJournalPageSize) return fail(QmError::corruption("invalid undo page size"));
    if ((pages.size() + 1) * kUndoCharge > kMaxUndoBytes) return fail(QmError::resource_limit("undo journal too large"));
    pages.push_back(id);
  }

  QM_TRY(safe_directory(fs::join(root, "chunks")));
  for (uint64_t id : pages) {
    QM_ASSIGN(std::string payload, read_checked(fs::join(undo, sequence_name(id))));
    if (payload.size() != kJournalPageSize) return fail(QmError::corruption("invalid undo page size"));
    std::string chunk = chunk_path(root, id);
    QM_TRY(safe_file(chunk));
    QM_ASSIGN(fs::File f, fs::get().open(chunk, fs::kWrite | fs::kNoFollow));
    QM_ASSIGN(fs::Stat st, f.stat());
    if (st.kind != fs::EntryKind::Regular) return fail(QmError::corruption("expected regular journal file: " + chunk));
    QM_TRY(f.write_all_at(payload, (id & (kPagesPerChunk - 1)) << 12));
    QM_TRY(f.sync());
  }

  const std::string manifest = fs::join(root, kManifestName);
  QM_TRY(safe_file(manifest));
  QM_TRY(fs::write_file_atomic(manifest, before));

  const std::string discarded = fs::join(log, kDiscarded);
  QM_ASSIGN(bool discarded_before, present(discarded));
  if (discarded_before) {
    QM_TRY(safe_directory(discarded));
    QM_TRY(remove_tree(discarded));
  }
  QM_TRY(fs::get().rename(active, discarded));
  QM_TRY(sync_dir(log));
  QM_TRY(remove_tree(discarded));
  return cleanup_inactive(log);
}

}  // namespace qm::journal
