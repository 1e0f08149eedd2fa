// RetrievalControl: what bounds one retrieval request: the caller's limits lowered to the
// fixed caps (100000 scanned rows, 16 MiB materialised, 10000 result rows), an optional
// deadline on the monotonic clock, an optional cancel flag another thread may set, and an
// optional pinned reader snapshot.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/error.h"

namespace qm::retrieval {

inline constexpr uint64_t kMaxScanRows = 100000;
inline constexpr uint64_t kMaxBytes = 16777216;
inline constexpr uint64_t kMaxResultRows = 10000;

struct RetrievalLimits {
  uint64_t max_scan_rows = kMaxScanRows;
  uint64_t max_bytes = kMaxBytes;
  uint64_t max_result_rows = kMaxResultRows;
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

struct RetrievalControl {
  std::optional<uint64_t> pinned_reader;
  RetrievalLimits limits;
  std::shared_ptr<const std::atomic<bool>> cancel;

  // The caller's limits clamped to the caps; deadline, flag and reader taken as given.
  static RetrievalControl make(const RetrievalLimits& caller, std::shared_ptr<const std::atomic<bool>> cancel,
                               std::optional<uint64_t> pinned_reader);
  // Cancelled when the flag is set, else ResourceLimit "deadline expired" once it passed.
  Result<void> check() const;
};

}  // namespace qm::retrieval
