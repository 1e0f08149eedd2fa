// The page journal: begin, the undo step of page writes, commit (see page_journal.h).
#include "journal/page_journal.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <span>
#include <vector>

#include "core/blake3.h"
#include "core/fs.h"
#include "journal/change_record.h"
#include "journal/files.h"
#include "journal/inventory.h"
#include "journal/journal_docs.h"

namespace qm::journal {
namespace {

constexpr uint64_t kBeginSlack = 1024;

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Removes a file left by an earlier failed attempt of the same step, so the exclusive
// create of the retry can succeed. Never follows a link.
Result<void> remove_leftover(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (st) QM_TRY(fs::get().unlink(path));
  return {};
}

Result<std::unique_ptr<Journal>> prepare(const std::string& root, const CommitLogOptions& limits, LogTally* tally) {
  if (!valid_limits(limits)) return fail(QmError::resource_limit("invalid commit-log limits"));
  // A tally this handle kept since its last change stands for the inventory and the walk.
  const bool counted = tally != nullptr && tally->current(root);
  Inventory inv;
  if (counted) {
    inv.head = tally->head();
    inv.pruned_through = tally->pruned_through();
  } else {
    QM_ASSIGN(inv, inventory(root));
  }
  const std::string log = log_dir(root);
  QM_ASSIGN(std::vector<std::string> created, fs::mkdir_all(log, 0777));
  QM_TRY(safe_directory(log));
  const std::string active = fs::join(log, kActive);
  QM_ASSIGN(bool interrupted, present(active));
  if (interrupted) return fail(QmError::transaction("commit log needs recovery"));
  QM_TRY(cleanup_inactive(log));
  const uint64_t commits = counted ? tally->commits() : inv.sequences.size();
  if (commits >= limits.max_retained_commits)
    return fail(QmError::resource_limit("commit log is full; prune acknowledged commits"));
  uint64_t retained = 0;
  if (counted) {
    retained = tally->retained_bytes();
  } else {
    uint64_t counter = 0;
    QM_ASSIGN(retained, tree_size_bounded(log, 0, counter));
    if (tally) tally->learned(inv.head, inv.pruned_through, commits, retained);
  }
  QM_ASSIGN(std::string manifest, read_bounded(fs::join(root, kManifestName), limits.max_transaction_bytes));
  QM_ASSIGN(ManifestMeta meta, read_manifest_meta(manifest));
  if (inv.head == std::numeric_limits<uint64_t>::max()) return fail(QmError::resource_limit("commit sequence exhausted"));

  const std::string preparing = fs::join(log, kPreparing);
  QM_ASSIGN(bool prepared_before, present(preparing));
  if (prepared_before) {
    QM_TRY(safe_directory(preparing));
    QM_TRY(remove_tree(preparing));
  }
  QM_TRY(fs::get().mkdir(preparing, 0777));

  auto journal = std::make_unique<Journal>(
      root, inv.head + 1, meta.clock, meta.page_count, limits, retained,
      std::set<std::string>(meta.cas_hashes.begin(), meta.cas_hashes.end()));
  QM_TRY(journal->reserve(saturating_add(manifest.size(), kBeginSlack)));

  const std::string header = header_json({journal->sequence(), journal->before_tx(), journal->page_count()});
  QM_ASSIGN(fs::File before_file, write_checked_unsynced(fs::join(preparing, kBefore), manifest));
  QM_ASSIGN(fs::File header_file, write_checked_unsynced(fs::join(preparing, kHeader), header));
  QM_TRY(fs::get().mkdir(fs::join(preparing, kUndo), 0777));
  // `active` must only ever name complete files: both, then the directory, are durable
  // before the rename. The rename itself need not be durable until the first page or the
  // manifest is overwritten (`publish`): until then a `preparing` found after a crash is
  // simply removed, and an `active` undoes nothing but puts back the same manifest.
  // One group: none of the three is relied on before the rename, which waits for all.
  fs::SyncGroup durable;
  durable.add(before_file);
  durable.add(header_file);
  durable.add_dir(preparing);
  QM_TRY(durable.run());
  journal->add_written(2 * kDigestSize + manifest.size() + header.size());
  QM_TRY(fs::get().rename(preparing, active));
  // The log's entry in the workspace too, when this begin created the log.
  std::vector<std::string> unpublished{log};
  if (!created.empty()) unpublished.push_back(root);
  journal->defer_publish(std::move(unpublished));
  return journal;
}

// Reads a blob the transaction added; its bytes must carry its name. Its file and
// directories join `durable`, the group flushed before the commit point; `open` keeps the
// file open until then.
Result<BlobChange> collect_blob(const std::string& root, const std::string& name, uint64_t limit,
                                fs::SyncGroup& durable, std::deque<fs::File>& open) {
  if (name.size() != 64 || !digest_from_hex(name)) return fail(QmError::corruption("invalid journal blob hash"));
  const std::string blobs = fs::join(root, "blobs");
  const std::string dir = fs::join(blobs, name.substr(0, 2));
  const std::string path = fs::join(dir, name);
  BlobChange b;
  b.hash = name;
  QM_ASSIGN(b.bytes, read_bounded(path, limit));
  QM_ASSIGN(fs::File f, fs::get().open(path, fs::kRead | fs::kWrite | fs::kNoFollow));
  durable.add(open.emplace_back(std::move(f)));
  durable.add_dir(dir);
  durable.add_dir(blobs);
  if (to_hex(blake3(b.bytes)) != name) return fail(QmError::corruption("journal blob hash mismatch"));
  return b;
}

// What a commit leaves: its sequence, the bytes of its directory's files, and whether that
// count is exact (no step of the transaction failed and left a file behind).
struct Committed {
  uint64_t sequence = 0;
  uint64_t bytes = 0;
  bool exact = true;
};

Result<Committed> commit_installed(storage::WorkspaceStore& store, Journal& j) {
  const std::string root = j.root();  // a copy: the journal is retired below
  const uint64_t budget = j.limits().max_transaction_bytes;
  QM_ASSIGN(std::string manifest, read_bounded(fs::join(root, kManifestName), budget));
  QM_ASSIGN(ManifestMeta meta, read_manifest_meta(manifest));
  if (meta.commit_sequence != j.sequence())
    return fail(QmError::corruption("commit manifest sequence anchor mismatch"));

  ChangeCommit c;
  c.sequence = j.sequence();
  c.before_tx = j.before_tx();
  c.after_tx = meta.clock;
  uint64_t total = manifest.size();
  const uint64_t room = budget > j.used_bytes() ? budget - j.used_bytes() : 0;
  c.manifest = std::move(manifest);
  c.pages.reserve(j.journaled_pages().size());
  ChunkPageReader pages(root);
  // Everything the commit point relies on, flushed as one group just before it.
  fs::SyncGroup durable;
  std::deque<fs::File> blob_files;
  for (uint64_t id : j.journaled_pages()) {
    total = saturating_add(total, kJournalPageSize);
    if (total > room) return fail(QmError::resource_limit("change payload byte limit"));
    PageChange p;
    p.page_id = id;
    p.bytes.resize(kJournalPageSize);
    QM_TRY(pages.read(id, {reinterpret_cast<uint8_t*>(p.bytes.data()), p.bytes.size()}));
    c.pages.push_back(std::move(p));
  }
  for (const auto& name : meta.cas_hashes) {
    if (j.base_blobs().contains(name)) continue;
    QM_ASSIGN(BlobChange b, collect_blob(root, name, room > total ? room - total : 0, durable, blob_files));
    total = saturating_add(total, b.bytes.size());
    c.blobs.push_back(std::move(b));
  }

  LimitedBytes record(room);
  if (auto r = encode_change(record, c); !r)
    return fail(QmError::resource_limit("commit record exceeds transaction budget: " + r.error().detail));
  QM_TRY(j.reserve(saturating_add(record.bytes().size(), kDigestSize)));

  const std::string log = log_dir(root);
  const std::string active = fs::join(log, kActive);
  const std::string change = fs::join(active, kChange);
  QM_TRY(remove_leftover(change));  // from an earlier commit attempt that failed
  QM_ASSIGN(fs::File change_file, write_checked_unsynced(change, record.bytes()));
  // Before the commit point, in one group: the blobs the transaction added, the record, the
  // chunk pages and the manifest the final flush wrote (it left them to this step), the
  // record's entry in `active` and the manifest's in the workspace. A chunk file this
  // transaction created is flushed with its directory. No order is needed among them: until
  // the rename, which waits for the whole group, the journal can still undo all of them.
  j.publish_into(durable);
  QM_TRY(store.add_sync(durable));
  QM_ASSIGN(fs::File manifest_file, fs::get().open(fs::join(root, kManifestName), fs::kRead | fs::kNoFollow));
  durable.add(change_file);
  durable.add(manifest_file);
  durable.add_dir(active);
  durable.add_dir(root);
  QM_TRY(durable.run());
  j.published();
  store.synced();
  QM_TRY(fs::get().rename_noreplace(active, fs::join(log, sequence_name(j.sequence()))));
  const Committed done{j.sequence(), saturating_add(j.written(), kDigestSize + record.bytes().size()), j.exact()};
  // The commit point has passed: the journal's directory is now a commit.
  store.take_journal();
  if (auto r = sync_dir(log); !r)
    return fail(QmError::outcome_unknown("commit renamed but directory sync failed: " + r.error().message()));
  return done;
}

}  // namespace

bool valid_limits(const CommitLogOptions& o) {
  return o.max_transaction_bytes >= 1 && o.max_transaction_bytes <= kMaxTransactionBytes &&
         o.max_retained_bytes >= o.max_transaction_bytes && o.max_retained_commits >= 1 &&
         o.max_retained_commits <= kMaxRetainedCommits;
}

Journal::Journal(std::string root, uint64_t sequence, uint64_t before_tx, uint64_t page_count,
                 CommitLogOptions limits, uint64_t retained_bytes, std::set<std::string> base_blobs)
    : root_(std::move(root)),
      sequence_(sequence),
      before_tx_(before_tx),
      page_count_(page_count),
      limits_(limits),
      retained_(retained_bytes),
      base_blobs_(std::move(base_blobs)) {}

Result<void> Journal::reserve(uint64_t n) {
  if (used_ > std::numeric_limits<uint64_t>::max() - n) return fail(QmError::resource_limit("journal size overflow"));
  const uint64_t next = used_ + n;
  if (next > limits_.max_transaction_bytes || saturating_add(retained_, next) > limits_.max_retained_bytes)
    return fail(QmError::resource_limit("commit log byte limit reached; reduce transaction or prune history"));
  used_ = next;
  return {};
}

Result<void> Journal::publish() {
  fs::SyncGroup durable;
  publish_into(durable);
  QM_TRY(durable.run());
  published();
  return {};
}

void Journal::publish_into(fs::SyncGroup& group) const {
  for (const std::string& dir : unpublished_dirs_) group.add_dir(dir);
}

Result<void> Journal::before_write(storage::WorkspaceStore&, uint64_t page_id) {
  if (journaled_.contains(page_id)) return {};
  QM_TRY(reserve(kPageCharge));
  if (page_id < page_count_) {
    auto saved = [&]() -> Result<void> {
      std::string page(kJournalPageSize, '\0');
      QM_TRY(read_page(root_, page_id, {reinterpret_cast<uint8_t*>(page.data()), page.size()}));
      const std::string undo = fs::join(fs::join(log_dir(root_), kActive), kUndo);
      const std::string final_path = fs::join(undo, sequence_name(page_id));
      const std::string tmp = final_path + ".tmp";
      QM_TRY(remove_leftover(tmp));
      QM_TRY(write_checked(tmp, page));
      QM_TRY(fs::get().rename(tmp, final_path));
      // The undo file's entry and, the first time, `active`'s own: durable before the page
      // is overwritten, as one group (the page waits for both; neither waits for the other).
      fs::SyncGroup durable;
      durable.add_dir(undo);
      publish_into(durable);
      QM_TRY(durable.run());
      published();
      return {};
    }();
    if (!saved) {
      mark_inexact();
      return saved;
    }
    add_written(kPageCharge);
  }
  journaled_.insert(page_id);
  return {};
}

Result<void> Journal::before_writes(storage::WorkspaceStore&, std::span<const uint64_t> page_ids) {
  std::vector<uint64_t> fresh;
  for (uint64_t id : page_ids)
    if (id < page_count_ && !journaled_.contains(id)) fresh.push_back(id);
  if (fresh.size() < 2) return {};  // one page gains nothing from a group: its write saves it
  const std::string undo = fs::join(fs::join(log_dir(root_), kActive), kUndo);
  // Groups stay small enough that their open files never press on the descriptor limit.
  constexpr size_t kGroup = 64;
  for (size_t first = 0; first < fresh.size(); first += kGroup) {
    const std::span<const uint64_t> group =
        std::span<const uint64_t>(fresh).subspan(first, std::min(kGroup, fresh.size() - first));
    auto saved = [&]() -> Result<void> {
      std::vector<fs::File> files;
      files.reserve(group.size());
      std::string page(kJournalPageSize, '\0');
      ChunkPageReader reader(root_);
      for (uint64_t id : group) {
        QM_TRY(reserve(kPageCharge));
        QM_TRY(reader.read(id, {reinterpret_cast<uint8_t*>(page.data()), page.size()}));
        const std::string tmp = fs::join(undo, sequence_name(id)) + ".tmp";
        QM_TRY(remove_leftover(tmp));
        QM_ASSIGN(fs::File f, write_checked_unsynced(tmp, page));
        files.push_back(std::move(f));
      }
      // The copies as one group: each only has to be whole before its own rename.
      fs::SyncGroup copies;
      for (const fs::File& f : files) copies.add(f);
      QM_TRY(copies.run());
      for (uint64_t id : group) {
        const std::string final_path = fs::join(undo, sequence_name(id));
        QM_TRY(fs::get().rename(final_path + ".tmp", final_path));
      }
      // Their entries and, the first time, `active`'s own, together before any page is written.
      fs::SyncGroup entries;
      entries.add_dir(undo);
      publish_into(entries);
      QM_TRY(entries.run());
      published();
      return {};
    }();
    if (!saved) {
      mark_inexact();
      return saved;
    }
    for (uint64_t id : group) {
      journaled_.insert(id);
      add_written(kPageCharge);
    }
  }
  return {};
}

Result<void> begin_journal(storage::WorkspaceStore& store, const CommitLogOptions& limits, LogTally* tally) {
  const std::string root = store.root();
  auto prepared = prepare(root, limits, tally);
  if (!prepared) {
    if (tally) tally->forget();
    // Only a journal seen to be left behind makes the outcome unknown; when even that cannot
    // be looked at, the preparation's own error stands.
    auto left = present(fs::join(log_dir(root), kActive));
    if (left && *left)
      return fail(QmError::outcome_unknown("journal preparation requires recovery: " + prepared.error().message()));
    return fail(std::move(prepared).error());
  }
  store.install_journal(std::move(*prepared));
  return {};
}

Journal* installed_journal(const storage::WorkspaceStore& store) { return dynamic_cast<Journal*>(store.journal()); }

Result<void> publish_journal(const storage::WorkspaceStore& store) {
  if (Journal* j = installed_journal(store)) return j->publish();
  return {};
}

Result<uint64_t> manifest_sequence(const storage::WorkspaceStore& store) {
  if (Journal* j = installed_journal(store)) return j->sequence();
  return head(store.root());
}

Result<void> commit_journal(storage::WorkspaceStore& store, LogTally* tally) {
  Journal* j = installed_journal(store);
  if (!j) return fail(QmError::transaction("no active page journal"));
  auto committed = commit_installed(store, *j);
  if (!committed) {
    // The commit point passed (the journal is retired) or the journal waits for a rollback;
    // either way the tally is learned again.
    if (tally) tally->forget();
    return fail(std::move(committed).error());
  }
  if (tally) {
    if (committed->exact) {
      tally->committed(store.root(), committed->sequence, committed->bytes);
    } else {
      tally->forget();
    }
  }
  return {};
}

}  // namespace qm::journal
