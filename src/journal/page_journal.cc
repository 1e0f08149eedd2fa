// The page journal: begin, the undo step of page writes, commit (see page_journal.h).
#include "journal/page_journal.h"

#include <limits>

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

Result<std::unique_ptr<Journal>> prepare(const std::string& root, const CommitLogOptions& limits) {
  if (!valid_limits(limits)) return fail(QmError::resource_limit("invalid commit-log limits"));
  QM_ASSIGN(Inventory inv, inventory(root));
  const std::string log = log_dir(root);
  QM_TRY(fs::mkdir_all(log, 0777));
  QM_TRY(safe_directory(log));
  const std::string active = fs::join(log, kActive);
  if (exists(active)) return fail(QmError::transaction("commit log needs recovery"));
  QM_TRY(cleanup_inactive(log));
  if (inv.sequences.size() >= limits.max_retained_commits)
    return fail(QmError::resource_limit("commit log is full; prune acknowledged commits"));
  uint64_t counter = 0;
  QM_ASSIGN(uint64_t retained, tree_size_bounded(log, 0, counter));
  QM_ASSIGN(std::string manifest, read_bounded(fs::join(root, kManifestName), limits.max_transaction_bytes));
  QM_ASSIGN(ManifestMeta meta, read_manifest_meta(manifest));
  if (inv.head == std::numeric_limits<uint64_t>::max()) return fail(QmError::resource_limit("commit sequence exhausted"));

  const std::string preparing = fs::join(log, kPreparing);
  if (exists(preparing)) {
    QM_TRY(safe_directory(preparing));
    QM_TRY(remove_tree(preparing));
  }
  QM_TRY(fs::get().mkdir(preparing, 0777));

  auto journal = std::make_unique<Journal>(
      root, inv.head + 1, meta.clock, meta.page_count, limits, retained,
      std::set<std::string>(meta.cas_hashes.begin(), meta.cas_hashes.end()));
  QM_TRY(journal->reserve(saturating_add(manifest.size(), kBeginSlack)));

  QM_TRY(write_checked(fs::join(preparing, kBefore), manifest));
  QM_TRY(write_checked(fs::join(preparing, kHeader),
                       header_json({journal->sequence(), journal->before_tx(), journal->page_count()})));
  QM_TRY(fs::get().mkdir(fs::join(preparing, kUndo), 0777));
  QM_TRY(sync_dir(preparing));
  QM_TRY(fs::get().rename(preparing, active));
  QM_TRY(sync_dir(log));
  QM_TRY(sync_dir(root));
  return journal;
}

// Reads a blob the transaction added and makes it durable; its bytes must carry its name.
Result<BlobChange> collect_blob(const std::string& root, const std::string& name, uint64_t limit) {
  if (name.size() != 64 || !digest_from_hex(name)) return fail(QmError::corruption("invalid journal blob hash"));
  const std::string blobs = fs::join(root, "blobs");
  const std::string dir = fs::join(blobs, name.substr(0, 2));
  const std::string path = fs::join(dir, name);
  BlobChange b;
  b.hash = name;
  QM_ASSIGN(b.bytes, read_bounded(path, limit));
  {
    QM_ASSIGN(fs::File f, fs::get().open(path, fs::kRead | fs::kWrite | fs::kNoFollow));
    QM_TRY(f.sync());
  }
  QM_TRY(sync_dir(dir));
  QM_TRY(sync_dir(blobs));
  if (to_hex(blake3(b.bytes)) != name) return fail(QmError::corruption("journal blob hash mismatch"));
  return b;
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

Result<void> Journal::before_write(storage::WorkspaceStore&, uint64_t page_id) {
  if (journaled_.contains(page_id)) return {};
  QM_TRY(reserve(kPageCharge));
  if (page_id < page_count_) {
    std::string page(kJournalPageSize, '\0');
    QM_TRY(read_page(root_, page_id, {reinterpret_cast<uint8_t*>(page.data()), page.size()}));
    const std::string undo = fs::join(fs::join(log_dir(root_), kActive), kUndo);
    const std::string final_path = fs::join(undo, sequence_name(page_id));
    const std::string tmp = final_path + ".tmp";
    QM_TRY(remove_leftover(tmp));
    QM_TRY(write_checked(tmp, page));
    QM_TRY(fs::get().rename(tmp, final_path));
    QM_TRY(sync_dir(undo));
  }
  journaled_.insert(page_id);
  return {};
}

Result<void> begin_journal(storage::WorkspaceStore& store, const CommitLogOptions& limits) {
  const std::string root = store.root();
  auto prepared = prepare(root, limits);
  if (!prepared) {
    if (exists(fs::join(log_dir(root), kActive)))
      return fail(QmError::outcome_unknown("journal preparation requires recovery: " + prepared.error().message()));
    return fail(std::move(prepared).error());
  }
  store.install_journal(std::move(*prepared));
  return {};
}

Journal* installed_journal(const storage::WorkspaceStore& store) { return dynamic_cast<Journal*>(store.journal()); }

Result<uint64_t> manifest_sequence(const storage::WorkspaceStore& store) {
  if (Journal* j = installed_journal(store)) return j->sequence();
  return head(store.root());
}

Result<void> commit_journal(storage::WorkspaceStore& store) {
  Journal* j = installed_journal(store);
  if (!j) return fail(QmError::transaction("no active page journal"));
  const std::string root = j->root();  // a copy: the journal is retired below
  const uint64_t budget = j->limits().max_transaction_bytes;
  QM_ASSIGN(std::string manifest, read_bounded(fs::join(root, kManifestName), budget));
  QM_ASSIGN(ManifestMeta meta, read_manifest_meta(manifest));
  if (meta.commit_sequence != j->sequence())
    return fail(QmError::corruption("commit manifest sequence anchor mismatch"));

  ChangeCommit c;
  c.sequence = j->sequence();
  c.before_tx = j->before_tx();
  c.after_tx = meta.clock;
  uint64_t total = manifest.size();
  const uint64_t room = budget > j->used_bytes() ? budget - j->used_bytes() : 0;
  c.manifest = std::move(manifest);
  c.pages.reserve(j->journaled_pages().size());
  ChunkPageReader pages(root);
  for (uint64_t id : j->journaled_pages()) {
    total = saturating_add(total, kJournalPageSize);
    if (total > room) return fail(QmError::resource_limit("change payload byte limit"));
    PageChange p;
    p.page_id = id;
    p.bytes.resize(kJournalPageSize);
    QM_TRY(pages.read(id, {reinterpret_cast<uint8_t*>(p.bytes.data()), p.bytes.size()}));
    c.pages.push_back(std::move(p));
  }
  for (const auto& name : meta.cas_hashes) {
    if (j->base_blobs().contains(name)) continue;
    QM_ASSIGN(BlobChange b, collect_blob(root, name, room > total ? room - total : 0));
    total = saturating_add(total, b.bytes.size());
    c.blobs.push_back(std::move(b));
  }

  LimitedBytes record(room);
  if (auto r = encode_change(record, c); !r)
    return fail(QmError::resource_limit("commit record exceeds transaction budget: " + r.error().detail));
  QM_TRY(j->reserve(saturating_add(record.bytes().size(), kDigestSize)));

  const std::string log = log_dir(root);
  const std::string active = fs::join(log, kActive);
  const std::string change = fs::join(active, kChange);
  QM_TRY(remove_leftover(change));  // from an earlier commit attempt that failed
  QM_TRY(write_checked(change, record.bytes()));
  QM_TRY(sync_dir(active));
  QM_TRY(sync_dir(fs::join(root, "chunks")));
  QM_TRY(sync_dir(root));
  QM_TRY(fs::get().rename_noreplace(active, fs::join(log, sequence_name(j->sequence()))));
  // The commit point has passed: the journal's directory is now a commit.
  store.take_journal();
  if (auto r = sync_dir(log); !r)
    return fail(QmError::outcome_unknown("commit renamed but directory sync failed: " + r.error().message()));
  return {};
}

}  // namespace qm::journal
