// Building error texts from pieces: text and integers appended in order, without a format
// string (the standard library of the oldest supported compiler has no std::format).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace qm::db {

namespace detail {
inline void append_piece(std::string& out, std::string_view s) { out.append(s); }
inline void append_piece(std::string& out, const char* s) { out.append(s); }
inline void append_piece(std::string& out, const std::string& s) { out.append(s); }
template <class T>
  requires std::is_integral_v<T>
void append_piece(std::string& out, T v) {
  out.append(std::to_string(v));
}
}  // namespace detail

template <class... Pieces>
std::string str(const Pieces&... pieces) {
  std::string out;
  (detail::append_piece(out, pieces), ...);
  return out;
}

}  // namespace qm::db
