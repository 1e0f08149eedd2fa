// The one-caller-at-a-time rule of a handle, kept cheaply: each handle carries an atomic
// in-use mark that every export taking the handle sets for the length of the call. A second
// caller that finds the mark set is refused with a Busy error instead of running beside the
// first one, so a host that breaks the rule gets an error, never corrupted memory. The mark
// is taken with one atomic exchange and released with one store; nothing waits.
#pragma once

#include <atomic>

#include "core/error.h"
#include "ffi/frame.h"

namespace qm::ffi {

inline constexpr const char* kHandleInUseText = "handle is in use by another thread";

inline QmError handle_in_use() { return QmError::busy(kHandleInUseText); }

// Holds a handle's mark from construction until it goes, when it could be taken.
class HandleUse {
 public:
  explicit HandleUse(std::atomic<bool>& mark) noexcept
      : mark_(&mark), held_(!mark.exchange(true, std::memory_order_acquire)) {}
  ~HandleUse() {
    if (held_) mark_->store(false, std::memory_order_release);
  }
  HandleUse(const HandleUse&) = delete;
  HandleUse& operator=(const HandleUse&) = delete;

  // False when another call holds the mark: the caller must not touch the handle.
  explicit operator bool() const noexcept { return held_; }

 private:
  std::atomic<bool>* mark_;
  bool held_;
};

// Takes the mark of a handle about to be freed and never gives it back; false (with the
// refusal as the thread's last error) when another call holds it.
inline bool take_for_close(std::atomic<bool>& mark) noexcept {
  if (!mark.exchange(true, std::memory_order_acquire)) return true;
  guarded(0, [] {
    set_last_error(handle_in_use());
    return 0;
  });
  return false;
}

}  // namespace qm::ffi
