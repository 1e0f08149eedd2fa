// The frame every exported call passes through: the per-thread last error, the UTF-8
// checks of text arguments, strings handed to the host, and the guard that keeps every C++
// exception inside the library: running out of memory (std::bad_alloc) becomes a resource-
// limit error the host can act on, anything else "panic in a QuilMarr FFI call".
#pragma once

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.h"

namespace qm::ffi {

void clear_last_error();
// Stores the text as the thread's last error, each NUL byte replaced by '?'.
void set_last_error(std::string_view text);
void set_last_error(const QmError& e);
// The thread's last error, or nullptr.
const char* last_error();

// A fresh NUL-terminated copy for the host; nullptr (and the last error set) when the
// text holds a NUL byte.
char* string_to_c(std::string_view text);

// The C string as a view when it is non-null and valid UTF-8.
std::optional<std::string_view> utf8_arg(const char* s);

inline constexpr const char* kPanicText = "panic in a QuilMarr FFI call";
inline constexpr const char* kOutOfMemoryText =
    "query resource limit exceeded: out of memory";

// Record a panic or an allocation failure as the last error without allocating, so they are
// reported even while memory is short.
void set_panic() noexcept;
void set_out_of_memory() noexcept;

// Runs body, returning `failure` (with the out-of-memory or panic text as last error) if
// anything throws.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc&) {
    set_out_of_memory();
    return failure;
  } catch (...) {
    set_panic();
    return failure;
  }
}

// Clears the last error, then runs body under the guard.
template <class R, class F>
R entry(R failure, F&& body) noexcept {
  clear_last_error();
  return guarded(failure, std::forward<F>(body));
}

}  // namespace qm::ffi
