// The page journal of one logged transaction, on disk and in the workspace's page store.
//
// Begin saves the committed manifest and reserves the next commit sequence (the directory
// `preparing`, filled, flushed and renamed to `active`); before a page of the committed
// image is first overwritten, its old bytes become a durable undo file; commit reads back
// the after-image of every page the transaction wrote, collects the blobs it added and
// writes one change record, and the rename of `active` to the sequence's name is the commit
// point. Whatever ends otherwise leaves `active` for `recover` (inventory.h).
//
// Flushes are grouped at the points where order matters; the members of a group are issued
// together (fs::SyncGroup), and the step that relies on them waits for the whole group:
// 0. at begin, before `preparing` is renamed to `active`: `before`, `header` and their
//    directory, so `active` never names an incomplete file;
// 1. before the first page (or the manifest) is overwritten: the undo copies of the pages
//    about to be written, then (after their renames) `undo` and, once per transaction, the
//    log naming `active`;
// 2. before the commit point: the blobs the transaction added, the record, the chunk files
//    and the manifest the final flush wrote without flushing, `active` and the workspace
//    directory;
// 3. after the rename, the log, before the commit is reported.
//
// Invariants:
// - every byte the transaction makes the log keep is charged before it is written
//   (`reserve`); a refused charge changes nothing;
// - no page below the begin's page count is overwritten before its undo file is durable;
// - once `active` has been renamed the journal is retired from the store, even if a later
//   step fails (that failure is TransactionOutcomeUnknown), so later writes never run into
//   a journal whose directory has become a commit.
//
// The database drives it: `begin_journal` after taking the workspace lock and flushing the
// manifest atomically; page writes through the store's hooks; `commit_journal` after the
// final flush has written the chunk files and the manifest with
// "commit_sequence" = `manifest_sequence`; on rollback it takes the journal out of the store
// and runs `recover`.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/fs.h"
#include "journal/log_tally.h"
#include "storage/workspace_store.h"

namespace qm::journal {

// The limits of a logged workspace's commit log.
struct CommitLogOptions {
  uint64_t max_transaction_bytes = 67108864;
  uint64_t max_retained_bytes = 268435456;
  uint64_t max_retained_commits = 4096;
  friend bool operator==(const CommitLogOptions&, const CommitLogOptions&) = default;
};
inline constexpr uint64_t kMaxTransactionBytes = 268435456;
// 1 <= max_transaction_bytes <= 256 MiB, max_retained_bytes >= max_transaction_bytes,
// 1 <= max_retained_commits <= 65,536.
bool valid_limits(const CommitLogOptions& o);

// Bytes charged for the first write of a page: the page and its digest.
inline constexpr uint64_t kPageCharge = 4128;

class Journal final : public storage::PageWriteHook {
 public:
  Journal(std::string root, uint64_t sequence, uint64_t before_tx, uint64_t page_count, CommitLogOptions limits,
          uint64_t retained_bytes, std::set<std::string> base_blobs);

  // Charges n bytes: ResourceLimit "journal size overflow", or "commit log byte limit
  // reached; reduce transaction or prune history" when a limit would be passed.
  Result<void> reserve(uint64_t n);
  // The undo step of a page write.
  Result<void> before_write(storage::WorkspaceStore& store, uint64_t page_id) override;
  // The undo step of a group of page writes: the before-images are written, then flushed
  // together, then renamed into place under one flush of `undo`.
  Result<void> before_writes(storage::WorkspaceStore& store, std::span<const uint64_t> page_ids) override;

  const std::string& root() const { return root_; }
  uint64_t sequence() const { return sequence_; }
  uint64_t before_tx() const { return before_tx_; }
  uint64_t page_count() const { return page_count_; }
  const std::set<uint64_t>& journaled_pages() const { return journaled_; }
  const CommitLogOptions& limits() const { return limits_; }
  uint64_t used_bytes() const { return used_; }
  uint64_t retained_bytes() const { return retained_; }
  const std::set<std::string>& base_blobs() const { return base_blobs_; }

  // Makes `active` itself durable (its entry in the log, and the log's in the workspace when
  // this begin created it): needed before the first page or manifest is overwritten, and
  // done once.
  Result<void> publish();
  // The same as part of a larger group: its directories join `group`; `published` once the
  // group ran.
  void publish_into(fs::SyncGroup& group) const;
  void published() { unpublished_dirs_.clear(); }
  void defer_publish(std::vector<std::string> dirs) { unpublished_dirs_ = std::move(dirs); }
  // Bytes of the files the commit directory will hold; exact only while no step failed.
  void add_written(uint64_t n) { written_ += n; }
  uint64_t written() const { return written_; }
  void mark_inexact() { exact_ = false; }
  bool exact() const { return exact_; }

 private:
  std::string root_;
  uint64_t sequence_;
  uint64_t before_tx_;
  uint64_t page_count_;
  std::set<uint64_t> journaled_;
  CommitLogOptions limits_;
  uint64_t used_ = 0;
  uint64_t retained_;
  std::set<std::string> base_blobs_;
  std::vector<std::string> unpublished_dirs_;
  uint64_t written_ = 0;
  bool exact_ = true;
};

// Starts the page journal of a logged transaction on the store's workspace and installs it
// in the store; on failure no journal is installed (and a failure that leaves `active`
// behind is TransactionOutcomeUnknown "journal preparation requires recovery: {}").
// With a tally (log_tally.h) that is current, the log is neither listed nor walked; without
// one that is current, it is learned again.
Result<void> begin_journal(storage::WorkspaceStore& store, const CommitLogOptions& limits, LogTally* tally = nullptr);
// Turns the installed journal into the next durable commit. A TransactionOutcomeUnknown
// failure means the commit point may have passed (the journal is retired); any other
// failure leaves the journal installed and `active` in place for a rollback.
// The chunk files and the manifest written by the final flush are made durable here, with
// the record, before the commit point.
Result<void> commit_journal(storage::WorkspaceStore& store, LogTally* tally = nullptr);
// Makes the installed journal's `active` durable if it is not yet (nothing without a journal):
// called before the manifest of a logged workspace is replaced.
Result<void> publish_journal(const storage::WorkspaceStore& store);
// The journal installed in the store, or nullptr.
Journal* installed_journal(const storage::WorkspaceStore& store);
// The "commit_sequence" a manifest written now carries: the installed journal's sequence,
// else the commit log's head.
Result<uint64_t> manifest_sequence(const storage::WorkspaceStore& store);

}  // namespace qm::journal
