#include "retrieval/control.h"

#include <algorithm>

namespace qm::retrieval {

RetrievalControl RetrievalControl::make(const RetrievalLimits& caller, std::shared_ptr<const std::atomic<bool>> cancel,
                                        std::optional<uint64_t> pinned_reader) {
  RetrievalControl c;
  c.pinned_reader = pinned_reader;
  c.limits.max_scan_rows = std::min(caller.max_scan_rows, kMaxScanRows);
  c.limits.max_bytes = std::min(caller.max_bytes, kMaxBytes);
  c.limits.max_result_rows = std::min(caller.max_result_rows, kMaxResultRows);
  c.limits.deadline = caller.deadline;
  c.cancel = std::move(cancel);
  return c;
}

Result<void> RetrievalControl::check() const {
  if (cancel && cancel->load(std::memory_order_acquire)) return fail(QmError::cancelled());
  if (limits.deadline && std::chrono::steady_clock::now() >= *limits.deadline)
    return fail(QmError::resource_limit("deadline expired"));
  return {};
}

}  // namespace qm::retrieval
