// QmError: the one error type of the library, and Result<T>, the value-or-error every
// fallible function returns. The display texts are part of the public contract: at the
// C boundary they become the thread's last error verbatim.
#pragma once

#include <array>
#include <cstdint>
#include "core/expected.h"
#include <string>
#include <utility>

namespace qm {

enum class ErrorKind : uint8_t {
  Io,
  SignatureMismatch,
  Corruption,
  PageFault,
  BufferTooSmall,
  OutOfBounds,
  InvalidPageType,
  PageFull,
  CasMiss,
  Wasm,
  ReadOnly,
  TableNotFound,
  Schema,
  Query,
  ResourceLimit,
  Busy,
  Cancelled,
  DatabaseClosed,
  TransactionClosed,
  TransactionOutcomeUnknown,
  Transaction,
  Manifest,
};

class QmError {
 public:
  ErrorKind kind = ErrorKind::Io;
  std::string detail;  // text payload of the text-carrying kinds
  uint64_t first = 0;   // needed / offset / page_id / the page-type byte
  uint64_t second = 0;  // actual / size / available
  std::array<uint8_t, 4> expected{};
  std::array<uint8_t, 4> found{};

  static QmError io(std::string msg) { return text(ErrorKind::Io, std::move(msg)); }
  static QmError signature_mismatch(std::array<uint8_t, 4> expected, std::array<uint8_t, 4> found);
  static QmError corruption(std::string msg) { return text(ErrorKind::Corruption, std::move(msg)); }
  static QmError page_fault(uint64_t page_id) { return numbers(ErrorKind::PageFault, page_id, 0); }
  static QmError buffer_too_small(uint64_t needed, uint64_t actual) {
    return numbers(ErrorKind::BufferTooSmall, needed, actual);
  }
  static QmError out_of_bounds(uint64_t offset, uint64_t size) {
    return numbers(ErrorKind::OutOfBounds, offset, size);
  }
  static QmError invalid_page_type(uint8_t type) { return numbers(ErrorKind::InvalidPageType, type, 0); }
  static QmError page_full(uint64_t needed, uint64_t available) {
    return numbers(ErrorKind::PageFull, needed, available);
  }
  static QmError cas_miss(std::string hash) { return text(ErrorKind::CasMiss, std::move(hash)); }
  static QmError wasm(std::string msg) { return text(ErrorKind::Wasm, std::move(msg)); }
  static QmError read_only() { return bare(ErrorKind::ReadOnly); }
  static QmError table_not_found(std::string name) { return text(ErrorKind::TableNotFound, std::move(name)); }
  static QmError schema(std::string msg) { return text(ErrorKind::Schema, std::move(msg)); }
  static QmError query(std::string msg) { return text(ErrorKind::Query, std::move(msg)); }
  static QmError resource_limit(std::string msg) { return text(ErrorKind::ResourceLimit, std::move(msg)); }
  static QmError busy(std::string msg) { return text(ErrorKind::Busy, std::move(msg)); }
  static QmError cancelled() { return bare(ErrorKind::Cancelled); }
  static QmError database_closed() { return bare(ErrorKind::DatabaseClosed); }
  static QmError transaction_closed() { return bare(ErrorKind::TransactionClosed); }
  static QmError outcome_unknown(std::string msg) {
    return text(ErrorKind::TransactionOutcomeUnknown, std::move(msg));
  }
  static QmError transaction(std::string msg) { return text(ErrorKind::Transaction, std::move(msg)); }
  static QmError manifest(std::string json_msg) { return text(ErrorKind::Manifest, std::move(json_msg)); }
  // An operating-system failure: "i/o error: <what>: <strerror(errnum)>".
  static QmError from_errno(const std::string& what, int errnum);

  // The display text the host sees.
  std::string message() const;
  // The derived debug form, e.g. `PageFault { page_id: 3 }`.
  std::string debug() const;

  bool is(ErrorKind k) const { return kind == k; }

 private:
  static QmError text(ErrorKind k, std::string msg) {
    QmError e;
    e.kind = k;
    e.detail = std::move(msg);
    return e;
  }
  static QmError numbers(ErrorKind k, uint64_t a, uint64_t b) {
    QmError e;
    e.kind = k;
    e.first = a;
    e.second = b;
    return e;
  }
  static QmError bare(ErrorKind k) {
    QmError e;
    e.kind = k;
    return e;
  }
};

template <class T = void>
using Result = std::expected<T, QmError>;

inline std::unexpected<QmError> fail(QmError e) { return std::unexpected<QmError>(std::move(e)); }

}  // namespace qm

#define QM_CONCAT_INNER(a, b) a##b
#define QM_CONCAT(a, b) QM_CONCAT_INNER(a, b)

// Propagates the error of a Result-returning expression, discarding its value.
#define QM_TRY(expr)                                                  \
  do {                                                                \
    auto qm_try_result_ = (expr);                                     \
    if (!qm_try_result_) return ::qm::fail(std::move(qm_try_result_).error()); \
  } while (0)

// `QM_ASSIGN(auto x, f());` declares x from the value of f() or returns its error.
#define QM_ASSIGN(decl, expr) QM_ASSIGN_IMPL(QM_CONCAT(qm_assign_, __LINE__), decl, expr)
#define QM_ASSIGN_IMPL(tmp, decl, expr)                           \
  auto tmp = (expr);                                              \
  if (!tmp) return ::qm::fail(std::move(tmp).error());            \
  decl = std::move(*tmp)
