#include "ffi/frame.h"

#include <cstdlib>
#include <cstring>

#include "core/utf8.h"

namespace qm::ffi {
namespace {
thread_local std::string t_last_error;
thread_local bool t_has_error = false;
}  // namespace

void clear_last_error() {
  t_has_error = false;
  t_last_error.clear();
  t_last_error.shrink_to_fit();
}

void set_last_error(std::string_view text) {
  std::string copy(text);
  for (char& c : copy)
    if (c == '\0') c = '?';
  t_last_error = std::move(copy);
  t_has_error = true;
}

void set_last_error(const QmError& e) { set_last_error(e.message()); }

const char* last_error() { return t_has_error ? t_last_error.c_str() : nullptr; }

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
