// The commit log as the host sees it: the change feed (records after a cursor), the status
// and pruning through a checkpoint.
//
// `changes` and `status` take no lock: they read through `read_stable` (inventory.h), so a
// commit, begin or prune of another process that lands mid-read makes them read again
// rather than report a fault of a half-changed view. `prune` runs under the workspace
// transaction lock; its checkpoint is durable before any directory goes, and a workspace
// that never kept a log is left without one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "journal/change_record.h"
#include "journal/page_journal.h"

namespace qm::journal {

inline constexpr uint64_t kMaxBatchCommits = 4096;
inline constexpr uint64_t kMaxBatchBytes = 268435456;

struct CommitLogStatus {
  uint64_t head_sequence = 0;
  uint64_t pruned_through = 0;
  uint64_t retained_commits = 0;
  uint64_t retained_bytes = 0;
  CommitLogOptions limits;
};

// Up to `max` records after the cursor `after`, ascending.
Result<std::vector<ChangeCommit>> changes(std::string_view root, uint64_t after, uint64_t max);
Result<CommitLogStatus> status(std::string_view root, const CommitLogOptions& limits);
// With a tally that is current, it is kept up to date (only the directories that go are
// walked); otherwise it is forgotten, to be learned again at the next begin.
Result<void> prune(std::string_view root, uint64_t through, LogTally* tally = nullptr);

// {"head_sequence",...,"limits":{...}}
std::string status_json(const CommitLogStatus& s);

}  // namespace qm::journal
