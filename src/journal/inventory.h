// Inventory and recovery of a workspace's commit log.
//
// `inventory` lists the retained commits and proves they agree with the workspace manifest
// (the saved `before` copy while a journal is active): it yields the head (the last
// acknowledged commit), the checkpoint and every commit directory, or refuses, with
// "restore a verified backup" where history is lost or foreign. `recover` undoes an
// interrupted or abandoned page journal: every saved before-image is written back, the
// manifest restored, the journal discarded; each step can be repeated after a crash.
//
// Mutating callers (recovery at open and rollback) hold the workspace transaction lock.
// Readers that take no lock (status, feed) go through `read_stable`, which repeats a read
// that overlapped another process's commit, begin or prune, so corruption is only ever
// reported from a view that did not change while it was read.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/fs.h"

namespace qm::journal {

inline constexpr uint64_t kMaxRetainedCommits = 65536;
inline constexpr uint16_t kMaxFormatVersion = 8;

struct Inventory {
  uint64_t head = 0;
  uint64_t pruned_through = 0;
  std::vector<uint64_t> sequences;  // ascending, those at or below pruned_through included
};

Result<Inventory> inventory(std::string_view root);
Result<uint64_t> head(std::string_view root);
Result<void> recover(std::string_view root);

// What a reader without the lock compares before and after a read: the log directory (its
// entries change with every begin, commit and prune), the active journal and its undo
// directory (written by a transaction in progress), the manifest and the checkpoint.
struct ViewStamp {
  std::optional<fs::Stat> log, active, undo, manifest, checkpoint;
  bool operator==(const ViewStamp& o) const;
};
ViewStamp view_stamp(std::string_view root);

inline constexpr int kStableReadTries = 5;

// Runs `read` until the view is the same before and after it (at most kStableReadTries
// times); a view that never settles is Busy.
template <class F>
auto read_stable(std::string_view root, F&& read) -> decltype(read()) {
  for (int attempt = 0; attempt < kStableReadTries; ++attempt) {
    ViewStamp before = view_stamp(root);
    auto result = read();
    if (view_stamp(root) == before) return result;
  }
  return fail(QmError::busy("the commit log kept changing while it was read; try again"));
}

}  // namespace qm::journal
