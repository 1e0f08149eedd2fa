#include "db/file_closer.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <system_error>
#include <utility>

#include "core/signals_blocked.h"

namespace qm::db {
namespace {

// The helper is woken for the first file waiting and again when this many wait, and closes
// them together: on a file system in memory, a wake-up per file would cost the statement as
// much as the close it spares. A file waits at most kGather.
constexpr size_t kBatch = 8;
constexpr auto kGather = std::chrono::milliseconds(10);

// Forked children seen by this process; counted from the first helper on.
std::atomic<uint64_t> g_forks{0};
// Helpers still starting. A thread's start may allocate (in the C library, or in a checking
// allocator), and a fork while it does would copy the allocator's lock held into the child:
// a fork waits until every helper has started.
std::atomic<int> g_starting{0};

uint64_t forks() {
  static const bool registered = [] {
    pthread_atfork([] { while (g_starting.load(std::memory_order_acquire) > 0) std::this_thread::yield(); },
                   nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
    return true;
  }();
  (void)registered;
  return g_forks.load(std::memory_order_relaxed);
}

}  // namespace

FileCloser::~FileCloser() {
  if (!thread_) return;
  if (forks() != forks_at_start_) {
    // A forked child: the helper runs in the parent only, and its state may have been copied
    // mid-change; neither is touched.
    (void)thread_.release();
    (void)shared_.release();
    return;
  }
  {
    std::lock_guard lock(shared_->mu);
    shared_->stopping = true;
  }
  shared_->wake.notify_one();
  thread_->join();
}

bool FileCloser::started() {
  if (thread_) return forks() == forks_at_start_;
  if (unavailable_) return false;
  try {
    auto shared = std::make_unique<Shared>();
    forks_at_start_ = forks();
    g_starting.fetch_add(1, std::memory_order_acq_rel);
    try {
      // The helper takes no signals: the host's handlers stay on its own threads.
      SignalsBlocked quiet;
      thread_ = std::make_unique<std::thread>(run, std::ref(*shared));
    } catch (...) {
      g_starting.fetch_sub(1, std::memory_order_acq_rel);
      throw;
    }
    shared_ = std::move(shared);
  } catch (const std::system_error&) {
    unavailable_ = true;
    return false;
  }
  return true;
}

void FileCloser::release(fs::File file) {
  if (!file.is_open() || !file.opened_by(fs::posix()) || !started()) return;  // closed here
  size_t waiting = 0;
  {
    std::lock_guard lock(shared_->mu);
    if (shared_->count == kCapacity) return;  // the helper is behind: closed here
    shared_->waiting[shared_->count++] = file.release_descriptor();
    waiting = shared_->count;
  }
  if (waiting == 1 || waiting == kBatch) shared_->wake.notify_one();
}

void FileCloser::run(Shared& shared) {
  g_starting.fetch_sub(1, std::memory_order_acq_rel);
  std::array<int, kCapacity> closing;
  std::unique_lock lock(shared.mu);
  for (;;) {
    shared.wake.wait(lock, [&] { return shared.stopping || shared.count > 0; });
    shared.wake.wait_for(lock, kGather, [&] { return shared.stopping || shared.count >= kBatch; });
    const size_t n = std::exchange(shared.count, 0);
    std::copy_n(shared.waiting.begin(), n, closing.begin());
    const bool last = shared.stopping;  // the owner hands nothing over once it stops the helper
    lock.unlock();
    for (size_t i = 0; i < n; ++i) fs::close_descriptor(closing[i]);
    if (last) return;
    lock.lock();
  }
}

}  // namespace qm::db
