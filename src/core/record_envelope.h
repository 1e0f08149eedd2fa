// RecordEnvelope: the 24-byte version header at the start of every stored row record:
// created_tx, deleted_tx (0 while live), reserved (written 0). A version is visible at
// snapshot S when created_tx <= S and it is undeleted or deleted after S.
#pragma once

#include <cstdint>

#include "core/bytes.h"

namespace qm {

inline constexpr size_t kEnvelopeSize = 24;

// The one visibility rule of row versions: created at or before the snapshot, and live or
// deleted after it.
constexpr bool version_visible(uint64_t created_tx, uint64_t deleted_tx, uint64_t snapshot) {
  return created_tx <= snapshot && (deleted_tx == 0 || deleted_tx > snapshot);
}

struct RecordEnvelope {
  uint64_t created_tx = 0;
  uint64_t deleted_tx = 0;
  uint64_t reserved = 0;

  bool visible(uint64_t snapshot) const { return version_visible(created_tx, deleted_tx, snapshot); }
  static RecordEnvelope load(const uint8_t* p) { return {load_u64(p), load_u64(p + 8), load_u64(p + 16)}; }
  void store(uint8_t* p) const {
    store_u64(p, created_tx);
    store_u64(p + 8, deleted_tx);
    store_u64(p + 16, reserved);
  }
};

}  // namespace qm
