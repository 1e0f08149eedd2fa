// The page journal of one logged transaction, on disk and in the workspace's page store.
//
// Begin saves the committed manifest and reserves the next commit sequence (the directory
// `preparing`, filled, flushed and renamed to `active`); before a page of the committed
// image is first overwritten, its old bytes become a durable undo file; commit reads back
// the after-image of every page the transaction wrote, collects the blobs it added and
// writes one change record, and the rename of `active` to the sequence's name is the commit
// point. Whatever ends otherwise leaves `active` for `recover` (inventory.h).
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
// manifest atomically; page writes through the store's hook; `commit_journal` after the
// final flush has synced the chunk files and written the manifest with
// "commit_sequence" = `manifest_sequence`; on rollback it drops the store and runs `recover`.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "core/error.h"
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

class Journal final : public storage::PageJournal {
 public:
  Journal(std::string root, uint64_t sequence, uint64_t before_tx, uint64_t page_count, CommitLogOptions limits,
          uint64_t retained_bytes, std::set<std::string> base_blobs);

  // Charges n bytes: ResourceLimit "journal size overflow", or "commit log byte limit
  // reached; reduce transaction or prune history" when a limit would be passed.
  Result<void> reserve(uint64_t n);
  // The undo step of a page write.
  Result<void> before_write(storage::WorkspaceStore& store, uint64_t page_id) override;

  const std::string& root() const { return root_; }
  uint64_t sequence() const { return sequence_; }
  uint64_t before_tx() const { return before_tx_; }
  uint64_t page_count() const { return page_count_; }
  const std::set<uint64_t>& journaled_pages() const { return journaled_; }
  const CommitLogOptions& limits() const { return limits_; }
  uint64_t used_bytes() const { return used_; }
  uint64_t retained_bytes() const { return retained_; }
  const std::set<std::string>& base_blobs() const { return base_blobs_; }

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
};

// Starts the page journal of a logged transaction on the store's workspace and installs it
// in the store; on failure no journal is installed (and a failure that leaves `active`
// behind is TransactionOutcomeUnknown "journal preparation requires recovery: {}").
Result<void> begin_journal(storage::WorkspaceStore& store, const CommitLogOptions& limits);
// Turns the installed journal into the next durable commit. A TransactionOutcomeUnknown
// failure means the commit point may have passed (the journal is retired); any other
// failure leaves the journal installed and `active` in place for a rollback.
Result<void> commit_journal(storage::WorkspaceStore& store);
// The journal installed in the store, or nullptr.
Journal* installed_journal(const storage::WorkspaceStore& store);
// The "commit_sequence" a manifest written now carries: the installed journal's sequence,
// else the commit log's head.
Result<uint64_t> manifest_sequence(const storage::WorkspaceStore& store);

}  // namespace qm::journal
