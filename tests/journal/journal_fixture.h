// A workspace as the commit log sees it, built through the file-system layer in force (the
// real one or the fault double): a manifest, chunk files through a WorkspaceStore, blob files, and
// a helper that runs one logged transaction the way the database does (begin, page writes,
// chunk sync, manifest with the new sequence, commit).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/blake3.h"
#include "core/fs.h"
#include "journal/files.h"
#include "journal/page_journal.h"
#include "storage/workspace_store.h"
#include "support/temp_dir.h"

namespace qm::journal::test {

inline std::string page_of(char fill) { return std::string(4096, fill); }

// The bytes of one chunk page of the workspace at `root`, or "(unreadable)".
inline std::string chunk_page(const std::string& root, uint64_t id) {
  std::string page(4096, '\0');
  auto r = read_page(root, id, {reinterpret_cast<uint8_t*>(page.data()), page.size()});
  return r ? page : "(unreadable)";
}

inline std::string manifest_text(uint64_t clock, uint64_t page_count, std::optional<uint64_t> sequence,
                                 const std::vector<std::string>& hashes, int version = 7) {
  std::string out = "{\"format_version\":" + std::to_string(version) + ",\"clock\":" + std::to_string(clock);
  if (sequence) out += ",\"commit_sequence\":" + std::to_string(*sequence);
  if (version >= 8) out += std::string(",\"logged_workspace\":") + (sequence ? "true" : "false");
  out += ",\"page_count\":" + std::to_string(page_count) + ",\"tables\":[],\"cas_hashes\":[";
  for (size_t i = 0; i < hashes.size(); ++i) out += (i ? ",\"" : "\"") + hashes[i] + "\"";
  return out + "],\"cas_dir\":[]}";
}

class Workspace {
 public:
  // A workspace of `pages` pages (page i filled with 'a' + i), clock 1, no log yet.
  explicit Workspace(std::string root, int pages = 3) : root_(std::move(root)), store_(make_store(root_)) {
    for (int i = 0; i < pages; ++i) {
      uint64_t id = store_.alloc_page();
      auto p = page_of(static_cast<char>('a' + i));
      (void)store_.write_page(id, std::span<const uint8_t, 4096>(reinterpret_cast<const uint8_t*>(p.data()), 4096));
    }
    (void)store_.sync_data();
    (void)write_manifest(0);
  }

  const std::string& root() const { return root_; }
  storage::WorkspaceStore& store() { return store_; }
  uint64_t clock() const { return clock_; }
  const std::vector<std::string>& hashes() const { return hashes_; }

  Result<void> write_manifest(uint64_t sequence) {
    return fs::write_file_atomic(fs::join(root_, "qm_manifest.json"),
                                 manifest_text(clock_, store_.page_count(), sequence, hashes_));
  }

  Result<void> write_page(uint64_t id, char fill) {
    while (store_.page_count() <= id) store_.alloc_page();
    auto p = page_of(fill);
    return store_.write_page(id, std::span<const uint8_t, 4096>(reinterpret_cast<const uint8_t*>(p.data()), 4096));
  }

  // Stores a blob file and names it in the next manifest.
  std::string add_blob(const std::string& bytes) {
    std::string name = to_hex(blake3(bytes));
    std::string dir = fs::join(fs::join(root_, "blobs"), name.substr(0, 2));
    (void)fs::mkdir_all(dir);
    (void)fs::write_file_atomic(fs::join(dir, name), bytes);
    hashes_.push_back(name);
    return name;
  }

  // One logged transaction writing `writes` (page id -> fill), as the database runs it.
  // With `tally`, the begin and the commit keep it as a handle's transactions do.
  Result<void> commit(const std::map<uint64_t, char>& writes, const CommitLogOptions& limits = {},
                      LogTally* tally = nullptr) {
    QM_TRY(begin_journal(store_, limits, tally));
    return finish(writes, tally);
  }

  // The rest of a transaction whose journal is already installed.
  Result<void> finish(const std::map<uint64_t, char>& writes, LogTally* tally = nullptr) {
    for (auto [id, fill] : writes) QM_TRY(write_page(id, fill));
    QM_TRY(store_.sync_data());
    ++clock_;
    QM_TRY(write_manifest(installed_journal(store_)->sequence()));
    return commit_journal(store_, tally);
  }

  // Reopens the page store (as a reopen after rollback does) at the manifest's page count.
  void reopen(uint64_t page_count, uint64_t clock) {
    store_ = *storage::WorkspaceStore::open(root_, page_count);
    clock_ = clock;
  }

 private:
  static storage::WorkspaceStore make_store(const std::string& root) {
    (void)fs::mkdir_all(root);
    return *storage::WorkspaceStore::create(root);
  }

  std::string root_;
  storage::WorkspaceStore store_;
  uint64_t clock_ = 1;
  std::vector<std::string> hashes_;
};

// A test over a fresh workspace of three pages in a temporary directory.
class InWorkspace : public ::testing::Test {
 protected:
  qm::test::TempDir tmp;
  Workspace ws{tmp.join("ws")};
};

}  // namespace qm::journal::test
