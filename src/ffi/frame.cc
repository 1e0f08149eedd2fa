#include "ffi/frame.h"

#include <cstdlib>
#include <cstring>

#include "core/utf8.h"

namespace qm::ffi {
namespace {
enum class Slot : unsigned char { Empty, Text, Panic, OutOfMemory };
thread_local std::string t_last_error;
thread_local Slot t_slot = Slot::Empty;
}  // namespace

void clear_last_error() {
  t_slot = Slot::Empty;
  t_last_error.clear();
  t_last_error.shrink_to_fit();
}

void set_panic() noexcept {
  t_last_error.clear();  // keeps its buffer: no allocation
  t_slot = Slot::Panic;
}

void set_out_of_memory() noexcept {
  t_last_error.clear();
  t_slot = Slot::OutOfMemory;
}

void set_last_error(std::string_view text) {
  std::string copy(text);
  for (char& c : copy)
    if (c == '\0') c = '?';
  t_last_error = std::move(copy);
  t_slot = Slot::Text;
}

void set_last_error(const QmError& e) { set_last_error(e.message()); }

const char* last_error() {
  switch (t_slot) {
    case Slot::Empty: return nullptr;
    case Slot::Panic: return kPanicText;
    case Slot::OutOfMemory: return kOutOfMemoryText;
    case Slot::Text: return t_last_error.c_str();
  }
  return nullptr;
}

char* string_to_c(std::string_view text) {
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
    set_last_error("result contained an interior NUL byte");
    return nullptr;
  }
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out == nullptr) throw std::bad_alloc();
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

std::optional<std::string_view> utf8_arg(const char* s) {
  if (s == nullptr) return std::nullopt;
  std::string_view v(s);
  if (!is_valid_utf8(v)) return std::nullopt;
  return v;
}

}  // namespace qm::ffi
