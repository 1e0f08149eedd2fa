// The rows of a multi-row INSERT packed into one byte string: per row its value count, then
// per value a kind byte and its payload (Int 8 bytes, Decimal 16, Text and Blob a length and
// the bytes; counts and lengths as LEB128). A statement of a million tuples so holds its
// values in about their own size, not a vector per row and 64 bytes per value. Rows are read
// back in order into one reused row. The bytes live in memory only; equal rows pack equal.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/value.h"

namespace qm::sql {

class PackedRows {
 public:
  void append(std::span<const Value> row);
  size_t size() const { return count_; }

  class Reader {
   public:
    explicit Reader(const PackedRows& rows) : bytes_(rows.bytes_) {}
    // Replaces row's contents with the next row's values; false after the last row.
    bool next(std::vector<Value>& row);

   private:
    size_t varint();
    // A number stored by its raw bytes (the rows never leave the process).
    template <class T>
    T fixed();
    std::string_view bytes_;
    size_t at_ = 0;
  };
  Reader reader() const { return Reader(*this); }
  std::vector<std::vector<Value>> unpack() const;

  friend bool operator==(const PackedRows&, const PackedRows&) = default;

 private:
  void varint(size_t n);
  template <class T>
  void fixed(const T& n);
  std::string bytes_;
  size_t count_ = 0;
};

}  // namespace qm::sql
