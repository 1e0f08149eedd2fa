// Closes files on a helper thread, off the path of the statement that let them go. The last
// close of a file that no directory names any more makes the file system free it (its inode
// and blocks, journaled on most disks): for a statement that replaced its manifest, that was
// the costliest call left.
//
// The helper belongs to one handle: started at the first hand-over and joined, after closing
// every file still waiting, when the handle goes. It closes files and touches nothing else,
// and blocks every signal, so no handler of the host ever runs on it.
// Only files of the real file system go to it (a test double is not made for threads); any
// other file, or every file when the thread cannot start, is closed at once. In a child
// process forked after the helper started, the helper does not exist: files are closed at
// once there, and the parent's helper is never waited for. The helper never allocates or
// frees memory (it is handed bare descriptors in a fixed array): a fork copies whatever lock
// a thread holds at that moment, and an allocator's lock copied held would stop the child.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "core/fs.h"

namespace qm::db {

class FileCloser {
 public:
  FileCloser() = default;
  ~FileCloser();
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

  // Takes `file` and closes it off the caller's path.
  void release(fs::File file);

 private:
  static constexpr size_t kCapacity = 64;  // beyond that a file is closed by its owner
  struct Shared {
    std::mutex mu;
    std::condition_variable wake;
    std::array<int, kCapacity> waiting{};
    size_t count = 0;
    bool stopping = false;
  };
  static void run(Shared& shared);
  bool started();  // starts the helper on first use; false when it cannot run here

  std::unique_ptr<Shared> shared_;
  std::unique_ptr<std::thread> thread_;
  uint64_t forks_at_start_ = 0;  // the process's fork count when the helper started
  bool unavailable_ = false;     // the thread could not start
};

}  // namespace qm::db
