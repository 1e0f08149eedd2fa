// What a handle knows of its commit log between transactions, so that a begin need not list
// and walk the whole of `.qm-log`: the head, the checkpoint, how many commit directories it
// holds and the bytes of the files below it (what the limits are checked against).
//
// It is learned once by a full inventory and walk, then kept by this handle's own commits and
// prunes, and stands only while the stamp taken after the handle's last change still matches:
// the manifest and the checkpoint (each held open, so their inode numbers cannot be handed to
// a replacement) and the log directory itself. Another handle's commit or rollback replaces
// the manifest and its prune the checkpoint, so any of them makes the next begin learn the
// log again. Every caller runs under the workspace transaction lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/fs.h"

namespace qm::journal {

class LogTally {
 public:
  // Known, and nothing changed the log since this handle's last change of it.
  bool current(std::string_view root) const;
  // Taken from a full inventory and walk; current only once stamped after the next change.
  void learned(uint64_t head, uint64_t pruned_through, uint64_t commits, uint64_t retained_bytes);
  // This handle's commit of `sequence`, whose directory holds `bytes` of files.
  void committed(std::string_view root, uint64_t sequence, uint64_t bytes);
  // This handle's prune: the checkpoint now holds `through` (a checked file of `checkpoint_bytes`,
  // replacing one of `old_checkpoint_bytes`), and `commits` directories of `bytes` are gone.
  void pruned(std::string_view root, uint64_t through, uint64_t commits, uint64_t bytes, uint64_t checkpoint_bytes,
              uint64_t old_checkpoint_bytes);
  void forget();

  bool known() const { return known_; }
  uint64_t head() const { return head_; }
  uint64_t pruned_through() const { return pruned_through_; }
  uint64_t commits() const { return commits_; }
  uint64_t retained_bytes() const { return retained_bytes_; }

 private:
  struct Stamp {
    std::optional<fs::Stat> log, manifest, checkpoint;
    fs::File manifest_pin, checkpoint_pin;
  };
  void restamp(std::string_view root);

  bool known_ = false;
  uint64_t head_ = 0;
  uint64_t pruned_through_ = 0;
  uint64_t commits_ = 0;
  uint64_t retained_bytes_ = 0;
  std::optional<Stamp> stamp_;
};

}  // namespace qm::journal
