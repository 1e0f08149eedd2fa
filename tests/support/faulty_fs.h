// FaultyFs: an in-memory file system for tests of crash safety. It keeps, for every file, the
// bytes written and the bytes last flushed, and for every directory, its entries and the
// entries last flushed; power_loss() throws away everything that was not flushed (file data
// not synced, directory entries created, renamed or removed without a flush of their
// directory) and invalidates every open file, as a machine that lost power would. Chosen calls
// can be made to fail: the n-th call of a kind, every call of a kind from the n-th on, or a
// write cut short after some bytes.
//
// Paths are resolved from one root ("/"); "." and ".." are understood; there are no links.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "core/fs.h"

namespace qm::test {

// A mapping that owns a copy of its bytes.
class BytesMapping final : public fs::Mapping {
 public:
  explicit BytesMapping(std::string bytes);

 private:
  std::string bytes_;
};

class FaultyFs final : public fs::FileSystem {
 public:
  enum class Op : uint8_t { Open, TmpFile, Read, Write, Size, Truncate, Sync, SyncDir, Rename, Unlink, Mkdir,
                            Rmdir, Stat, List, Lock, Map, kCount };

  FaultyFs();

  // The n-th call of `op` counted from now (1-based) fails with `err`.
  void fail_nth(Op op, uint64_t n, int err = EIO);
  // Every call of `op` from the n-th on (counted from now) fails with `err`.
  void fail_from(Op op, uint64_t n, int err = EIO);
  // The n-th write from now stores only its first `keep` bytes, then fails with ENOSPC.
  void cut_write(uint64_t n, size_t keep);
  void clear_faults();
  // Calls of `op` since construction.
  uint64_t calls(Op op) const { return counts_[static_cast<size_t>(op)]; }
  // Times a caller waited on stable storage since construction: each flush made alone, and
  // each group of flushes issued together (sync_many) once, however many it holds.
  uint64_t waits() const { return waits_; }

  // Everything not flushed is lost; open files become unusable (EBADF).
  void power_loss();

  // Inspection and set-up that bypass faults and counters.
  bool exists(const std::string& path) const;
  std::optional<std::string> contents(const std::string& path) const;
  // Creates (or replaces) a file with these bytes, made durable with its directory chain.
  void put_file(const std::string& path, const std::string& bytes);
  // Creates a directory chain, durable.
  void make_dirs(const std::string& path);

  // fs::FileSystem
  Result<fs::File> open(const std::string& path, unsigned flags, uint32_t mode = 0666) override;
  Result<fs::File> open_tmpfile(const std::string& dir) override;
  Result<void> rename(const std::string& from, const std::string& to) override;
  Result<void> rename_noreplace(const std::string& from, const std::string& to) override;
  Result<void> unlink(const std::string& path) override;
  Result<void> mkdir(const std::string& path, uint32_t mode = 0777) override;
  Result<void> rmdir(const std::string& path) override;
  Result<void> chmod(const std::string& path, uint32_t mode) override;
  Result<std::optional<fs::Stat>> lstat(const std::string& path) override;
  Result<std::optional<fs::Stat>> stat(const std::string& path) override;
  Result<std::vector<std::string>> list_dir(const std::string& path) override;
  Result<void> sync_dir(const std::string& path) override;
  Result<void> sync_many(std::span<const fs::SyncItem> items) override;

 protected:
  Result<size_t> read_at(const fs::File& f, std::span<uint8_t> buf, uint64_t offset) override;
  Result<void> write_all_at(const fs::File& f, std::span<const uint8_t> data, uint64_t offset) override;
  Result<uint64_t> size(const fs::File& f) override;
  Result<fs::Stat> fstat(const fs::File& f) override;
  Result<void> truncate(const fs::File& f, uint64_t length) override;
  Result<void> sync(const fs::File& f) override;
  Result<bool> try_lock_exclusive(const fs::File& f) override;
  Result<void> unlock(const fs::File& f) override;
  Result<std::shared_ptr<const fs::Mapping>> map_readonly(const fs::File& f, uint64_t length) override;
  void close(int handle) override;

 private:
  struct Node {
    bool dir = false;
    uint32_t mode = 0644;
    std::string data, durable_data;
    std::map<std::string, uint64_t> entries, durable_entries;
  };
  struct Handle {
    uint64_t node = 0;
    bool writable = false;
  };
  struct Fault {
    Op op;
    uint64_t at;  // absolute call number
    bool from;    // and every later call
    int err;
    std::optional<size_t> keep;
  };
  struct Resolved {
    uint64_t parent = 0;   // the directory holding the last component
    std::string name;      // the last component ("" for the root)
    std::optional<uint64_t> node;
  };

  // Counts the call and returns the errno of a fault due now (0 when none).
  int tick(Op op, std::optional<size_t>* keep = nullptr);
  std::optional<Resolved> resolve(const std::string& path) const;
  // Counts a call of `op` and resolves an existing path (of the given kind, when given).
  Result<uint64_t> existing(Op op, const char* what, const std::string& path, std::optional<bool> dir = std::nullopt);
  fs::Stat stat_of(uint64_t node) const;
  Result<const Handle*> handle(const fs::File& f) const;
  uint64_t new_node(bool dir);
  QmError err(const char* op, const std::string& path, int e) const;

  std::unordered_map<uint64_t, Node> nodes_;
  std::unordered_map<int, Handle> handles_;
  std::map<uint64_t, int> locks_;  // node -> handle holding its lock
  uint64_t next_node_ = 2;
  int next_handle_ = 1000;
  std::vector<uint64_t> counts_ = std::vector<uint64_t>(static_cast<size_t>(Op::kCount), 0);
  std::vector<Fault> faults_;
  uint64_t waits_ = 0;
  bool in_group_ = false;
};

// A test that runs over a fresh FaultyFs as the file system in force.
class OnFaultyFs : public ::testing::Test {
 protected:
  FaultyFs disk;
  fs::ScopedFileSystem use{disk};
};

}  // namespace qm::test
