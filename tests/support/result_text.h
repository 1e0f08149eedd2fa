// Fallible calls in tests: one comparison for a refusal and its text, and the value of a
// call that must succeed (a failure ends the test with the error's message).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "core/error.h"

namespace qm::test {

template <class T>
std::string error_text(const Result<T>& r) {
  return r ? std::string("(ok)") : r.error().message();
}

template <class T, class E>
T must(std::expected<T, E> r) {
  if (r) return std::move(*r);
  if constexpr (requires { r.error().message(); }) {
    throw std::runtime_error(r.error().message());
  } else if constexpr (std::is_convertible_v<E, std::string>) {
    throw std::runtime_error(std::string(r.error()));
  } else {
    throw std::runtime_error("the call failed");
  }
}

template <class T>
T must(std::optional<T> o) {
  if (!o) throw std::runtime_error("no value");
  return std::move(*o);
}

}  // namespace qm::test

// Every test under namespace qm reads them unqualified.
namespace qm {
using test::error_text;
using test::must;
}  // namespace qm
