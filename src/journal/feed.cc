// Change feed, status and pruning (see feed.h).
#include "journal/feed.h"

#include <algorithm>
#include <limits>

#include "core/bytes.h"
#include "core/fs.h"
#include "core/json_writer.h"
#include "journal/files.h"
#include "journal/inventory.h"

namespace qm::journal {
namespace {

Result<std::vector<ChangeCommit>> read_changes(std::string_view root, uint64_t after, uint64_t max) {
  QM_ASSIGN(Inventory inv, inventory(root));
  if (after > inv.head) return fail(QmError::transaction("change cursor is beyond the committed head"));
  std::vector<ChangeCommit> out;
  if (max == 0) return out;
  if (max > kMaxBatchCommits) return fail(QmError::resource_limit("change batch exceeds 4096 commits"));
  if (after < inv.pruned_through)
    return fail(QmError::transaction("change cursor " + std::to_string(after) + " was pruned through " +
                                     std::to_string(inv.pruned_through) + "; obtain a new base image"));
  const std::string log = log_dir(root);
  uint64_t total = 0;
  for (auto it = std::upper_bound(inv.sequences.begin(), inv.sequences.end(), after);
       it != inv.sequences.end() && out.size() < max; ++it) {
    const std::string path = fs::join(fs::join(log, sequence_name(*it)), kChange);
    QM_ASSIGN(auto st, fs::get().stat(path));
    if (!st) return fail(QmError::from_errno("stat " + path, ENOENT));
    total = total > std::numeric_limits<uint64_t>::max() - st->size ? std::numeric_limits<uint64_t>::max()
                                                                    : total + st->size;
    if (total > kMaxBatchBytes) return fail(QmError::resource_limit("change batch exceeds 256 MiB; request fewer commits"));
    QM_ASSIGN(std::string payload, read_checked(path));
    QM_ASSIGN(ChangeCommit c, decode_change(payload));
    if (c.schema_version != 1 || c.sequence != *it || c.sequence != after + out.size() + 1)
      return fail(QmError::corruption("change stream sequence or schema mismatch"));
    out.push_back(std::move(c));
  }
  return out;
}

Result<CommitLogStatus> read_status(std::string_view root, const CommitLogOptions& limits) {
  QM_ASSIGN(Inventory inv, inventory(root));
  CommitLogStatus s;
  s.head_sequence = inv.head;
  s.pruned_through = inv.pruned_through;
  s.retained_commits = inv.sequences.size();
  s.limits = limits;
  const std::string log = log_dir(root);
  QM_ASSIGN(bool logged, present(log));
  if (logged) {
    uint64_t counter = 0;
    QM_ASSIGN(s.retained_bytes, tree_size_bounded(log, 0, counter));
  }
  return s;
}

}  // namespace

Result<std::vector<ChangeCommit>> changes(std::string_view root, uint64_t after, uint64_t max) {
  return read_stable(root, [&] { return read_changes(root, after, max); });
}

Result<CommitLogStatus> status(std::string_view root, const CommitLogOptions& limits) {
  return read_stable(root, [&] { return read_status(root, limits); });
}

Result<void> prune(std::string_view root, uint64_t through, LogTally* tally) {
  const bool counted = tally != nullptr && tally->current(root);
  uint64_t removed = 0, removed_bytes = 0, old_checkpoint = 0;
  auto pruned = [&]() -> Result<bool> {
    QM_ASSIGN(Inventory inv, inventory(root));
    if (through < inv.pruned_through) return false;
    if (through > inv.head) return fail(QmError::transaction("cannot prune a future commit"));
    const std::string log = log_dir(root);
    // Nothing was ever logged here: there is no history to acknowledge and no log to create.
    if (inv.head == 0) {
      QM_ASSIGN(bool logged, present(log));
      if (!logged) return false;
    }

    const std::string checkpoint = fs::join(log, kCheckpoint);
    if (counted) {
      QM_ASSIGN(auto st, fs::get().lstat(checkpoint));
      if (st) old_checkpoint = st->size;
    }
    char payload[8];
    store_u64(reinterpret_cast<uint8_t*>(payload), through);
    fs::AtomicWriteOptions options;  // a fresh ".tmpXXXXXX" in the log, flushed, renamed, log flushed
    QM_TRY(fs::write_file_atomic(checkpoint, checked_bytes({payload, 8}), options));
    for (uint64_t seq : inv.sequences) {
      if (seq > through) break;
      const std::string dir = fs::join(log, sequence_name(seq));
      QM_TRY(safe_directory(dir));
      if (counted) {
        // Only what goes is walked, to keep the handle's tally of the log (log_tally.h).
        uint64_t counter = 0;
        QM_ASSIGN(uint64_t bytes, tree_size_bounded(dir, 1, counter));
        removed_bytes += bytes;
      }
      QM_TRY(remove_tree(dir));
      ++removed;
    }
    QM_TRY(sync_dir(log));
    return true;
  }();
  if (tally) {
    if (!pruned || !counted) {
      tally->forget();
    } else if (*pruned) {
      tally->pruned(root, through, removed, removed_bytes, kDigestSize + 8, old_checkpoint);
    }
  }
  if (!pruned) return fail(std::move(pruned).error());
  return {};
}

std::string status_json(const CommitLogStatus& s) {
  std::string out;
  JsonWriter w(out);
  w.begin_object()
      .key("head_sequence").uint64(s.head_sequence)
      .key("pruned_through").uint64(s.pruned_through)
      .key("retained_commits").uint64(s.retained_commits)
      .key("retained_bytes").uint64(s.retained_bytes)
      .key("limits").begin_object()
      .key("max_transaction_bytes").uint64(s.limits.max_transaction_bytes)
      .key("max_retained_bytes").uint64(s.limits.max_retained_bytes)
      .key("max_retained_commits").uint64(s.limits.max_retained_commits)
      .end_object()
      .end_object();
  return out;
}

}  // namespace qm::journal
