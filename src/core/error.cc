#include "core/error.h"

#include <cstdio>
#include <cstring>

#include "core/debug_text.h"

namespace qm {
namespace {

std::string hex_list(const std::array<uint8_t, 4>& bytes) {
  std::string out = "[";
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    out += buf;
  }
  out += "]";
  return out;
}

std::string quoted(const std::string& s) {
  std::string out;
  append_debug_quoted(out, s);
  return out;
}

}  // namespace

QmError QmError::signature_mismatch(std::array<uint8_t, 4> expected, std::array<uint8_t, 4> found) {
  QmError e;
  e.kind = ErrorKind::SignatureMismatch;
  e.expected = expected;
  e.found = found;
  return e;
}

QmError QmError::from_errno(const std::string& what, int errnum) {
  std::string msg = what;
  if (!msg.empty()) msg += ": ";
  msg += std::strerror(errnum);
  msg += " (os error " + std::to_string(errnum) + ")";
  return io(std::move(msg));
}

std::string QmError::message() const {
  auto n = [](uint64_t v) { return std::to_string(v); };
  switch (kind) {
    case ErrorKind::Io: return "i/o error: " + detail;
    case ErrorKind::SignatureMismatch:
      return "invalid signature: expected magic " + hex_list(expected) + ", found " + hex_list(found);
    case ErrorKind::Corruption: return "data corruption: " + detail;
    case ErrorKind::PageFault: return "page fault: page " + n(first) + " is not resident";
    case ErrorKind::BufferTooSmall: return "buffer too small: needed " + n(first) + " bytes, got " + n(second);
    case ErrorKind::OutOfBounds: return "offset " + n(first) + " out of bounds for region of " + n(second) + " bytes";
    case ErrorKind::InvalidPageType: {
      char buf[8];
      std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(first & 0xff));
      return std::string("invalid page type discriminant: 0x") + buf;
    }
    case ErrorKind::PageFull:
      return "page full: requested " + n(first) + " bytes, only " + n(second) + " available";
    case ErrorKind::CasMiss: return "content-addressable storage miss for hash " + detail;
    case ErrorKind::Wasm: return "wasm runtime error: " + detail;
    case ErrorKind::ReadOnly: return "database is read-only (production mode); mutations are not permitted";
    case ErrorKind::TableNotFound: return "table not found: " + detail;
    case ErrorKind::Schema: return "schema error: " + detail;
    case ErrorKind::Query: return "query parse error: " + detail;
    case ErrorKind::ResourceLimit: return "query resource limit exceeded: " + detail;
    case ErrorKind::Busy: return "database is busy: " + detail;
    case ErrorKind::Cancelled: return "database operation was cancelled";
    case ErrorKind::DatabaseClosed: return "shared database is closed";
    case ErrorKind::TransactionClosed: return "shared transaction is closed";
    case ErrorKind::TransactionOutcomeUnknown: return "transaction outcome is unknown: " + detail;
    case ErrorKind::Transaction: return "transaction error: " + detail;
    case ErrorKind::Manifest: return "manifest error: " + detail;
  }
  return "unknown error";
}

std::string QmError::debug() const {
  auto n = [](uint64_t v) { return std::to_string(v); };
  auto bytes = [](const std::array<uint8_t, 4>& b) {
    std::string out = "[";
    for (size_t i = 0; i < b.size(); ++i) out += (i ? ", " : "") + std::to_string(b[i]);
    return out + "]";
  };
  switch (kind) {
    case ErrorKind::Io: return "Io(" + quoted(detail) + ")";
    case ErrorKind::SignatureMismatch:
      return "SignatureMismatch { expected: " + bytes(expected) + ", found: " + bytes(found) + " }";
    case ErrorKind::Corruption: return "Corruption(" + quoted(detail) + ")";
    case ErrorKind::PageFault: return "PageFault { page_id: " + n(first) + " }";
    case ErrorKind::BufferTooSmall: return "BufferTooSmall { needed: " + n(first) + ", actual: " + n(second) + " }";
    case ErrorKind::OutOfBounds: return "OutOfBounds { offset: " + n(first) + ", size: " + n(second) + " }";
    case ErrorKind::InvalidPageType: return "InvalidPageType(" + n(first) + ")";
    case ErrorKind::PageFull: return "PageFull { needed: " + n(first) + ", available: " + n(second) + " }";
    case ErrorKind::CasMiss: return "CasMiss(" + quoted(detail) + ")";
    case ErrorKind::Wasm: return "Wasm(" + quoted(detail) + ")";
    case ErrorKind::ReadOnly: return "ReadOnly";
    case ErrorKind::TableNotFound: return "TableNotFound(" + quoted(detail) + ")";
    case ErrorKind::Schema: return "Schema(" + quoted(detail) + ")";
    case ErrorKind::Query: return "Query(" + quoted(detail) + ")";
    case ErrorKind::ResourceLimit: return "ResourceLimit(" + quoted(detail) + ")";
    case ErrorKind::Busy: return "Busy(" + quoted(detail) + ")";
    case ErrorKind::Cancelled: return "Cancelled";
    case ErrorKind::DatabaseClosed: return "DatabaseClosed";
    case ErrorKind::TransactionClosed: return "TransactionClosed";
    case ErrorKind::TransactionOutcomeUnknown: return "TransactionOutcomeUnknown(" + quoted(detail) + ")";
    case ErrorKind::Transaction: return "Transaction(" + quoted(detail) + ")";
    case ErrorKind::Manifest: return "Manifest(" + quoted(detail) + ")";
  }
  return "Unknown";
}

}  // namespace qm
