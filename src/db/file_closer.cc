#include "db/file_closer.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <utility>

namespace qm::db {
namespace {

// The helper is woken for the first file waiting and again when this many wait, and closes
// them together: on a file system in memory, a wake-up per file would cost the statement as
// much as the close it spares. A file waits at most kGather.
constexpr size_t kBatch = 8;
constexpr auto kGather = std::chrono::milliseconds(10);

// Forked children seen by this process; counted from the first helper on.
std::atomic<uint64_t> g_forks{0};

uint64_t forks() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
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
    thread_ = std::make_unique<std::thread>(run, std::ref(*shared));
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
    shared_->waiting.push_back(std::move(file));
    waiting = shared_->waiting.size();
  }
  if (waiting == 1 || waiting == kBatch) shared_->wake.notify_one();
}

void FileCloser::run(Shared& shared) {
  std::unique_lock lock(shared.mu);
  for (;;) {
    shared.wake.wait(lock, [&] { return shared.stopping || !shared.waiting.empty(); });
    shared.wake.wait_for(lock, kGather, [&] { return shared.stopping || shared.waiting.size() >= kBatch; });
    std::vector<fs::File> files = std::exchange(shared.waiting, {});
    const bool last = shared.stopping;  // the owner hands nothing over once it stops the helper
    lock.unlock();
    files.clear();
    if (last) return;
    lock.lock();
  }
}

}  // namespace qm::db
