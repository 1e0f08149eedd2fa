// The tally of a handle's commit log (see log_tally.h).
#include "journal/log_tally.h"

#include <limits>

#include "journal/files.h"

namespace qm::journal {
namespace {

std::optional<fs::Stat> stat_or_none(const std::string& path) {
  auto st = fs::get().stat(path);
  if (!st || !*st) return std::nullopt;
  return **st;
}

bool same(const std::optional<fs::Stat>& a, const std::optional<fs::Stat>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return a->kind == b->kind && a->device == b->device && a->inode == b->inode && a->size == b->size &&
         a->ctime_ns == b->ctime_ns;
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// The file open (so its inode stays its own) and what it was when opened; none when absent.
std::optional<fs::Stat> pin(const std::string& path, fs::File& out) {
  out = fs::File();
  auto f = fs::get().open(path, fs::kRead);
  if (!f) return std::nullopt;
  auto st = f->stat();
  if (!st) return std::nullopt;
  out = std::move(*f);
  return *st;
}

}  // namespace

bool LogTally::current(std::string_view root) const {
  if (!known_ || !stamp_) return false;
  const std::string log = log_dir(root);
  const std::string checkpoint = fs::join(log, kCheckpoint);
  // A checkpoint that could not be held open is no proof of anything.
  if (!stamp_->checkpoint_pin.is_open() && stamp_->checkpoint) return false;
  return stamp_->manifest_pin.is_open() && same(stat_or_none(log), stamp_->log) &&
         same(stat_or_none(fs::join(root, kManifestName)), stamp_->manifest) &&
         same(stat_or_none(checkpoint), stamp_->checkpoint);
}

void LogTally::learned(uint64_t head, uint64_t pruned_through, uint64_t commits, uint64_t retained_bytes) {
  known_ = true;
  head_ = head;
  pruned_through_ = pruned_through;
  commits_ = commits;
  retained_bytes_ = retained_bytes;
  stamp_.reset();
}

void LogTally::committed(std::string_view root, uint64_t sequence, uint64_t bytes) {
  if (!known_) return;
  head_ = sequence;
  ++commits_;
  retained_bytes_ = saturating_add(retained_bytes_, bytes);
  restamp(root);
}

void LogTally::pruned(std::string_view root, uint64_t through, uint64_t commits, uint64_t bytes,
                      uint64_t checkpoint_bytes, uint64_t old_checkpoint_bytes) {
  if (!known_ || commits > commits_) return forget();
  pruned_through_ = through;
  commits_ -= commits;
  const uint64_t gone = saturating_add(bytes, old_checkpoint_bytes);
  if (gone > retained_bytes_) return forget();
  retained_bytes_ = saturating_add(retained_bytes_ - gone, checkpoint_bytes);
  restamp(root);
}

void LogTally::forget() {
  known_ = false;
  stamp_.reset();
}

void LogTally::restamp(std::string_view root) {
  Stamp s;
  const std::string log = log_dir(root);
  s.log = stat_or_none(log);
  s.manifest = pin(fs::join(root, kManifestName), s.manifest_pin);
  s.checkpoint = pin(fs::join(log, kCheckpoint), s.checkpoint_pin);
  if (!s.log || !s.manifest) return forget();
  // A checkpoint present but not opened is caught by `current`.
  if (!s.checkpoint) s.checkpoint = stat_or_none(fs::join(log, kCheckpoint));
  stamp_ = std::move(s);
}

}  // namespace qm::journal
