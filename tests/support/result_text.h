// One comparison for a fallible call: the message of a failed result, or "(ok)".
#pragma once

#include <string>

#include "core/error.h"

namespace qm::test {

template <class T>
std::string error_text(const Result<T>& r) {
  return r ? std::string("(ok)") : r.error().message();
}

}  // namespace qm::test
