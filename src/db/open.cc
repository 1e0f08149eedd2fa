// Opening a workspace directory and a production image. The open is the one moment a
// workspace is repaired after a crash: under the transaction lock an interrupted transaction
// or statement is undone (from the undo file, an earlier version's copy-tree backup or the
// page journal), then the lock is released and the catalog is read.
//
// Invariants: only a missing manifest (nothing at the path) makes a workspace new; any
// other failure to examine it fails the open, so an existing workspace is never taken for an
// empty one (whose first flush would overwrite its page 0 and manifest). A failed open
// leaves no Database; the lock is released on every path.
#include <algorithm>
#include <string>

#include "core/bytes.h"
#include "core/fs.h"
#include "table/catalog_rebuild.h"
#include "table/manifest_stream.h"
#include "db/atomicity/statement_undo.h"
#include "db/atomicity/copy_tree_files.h"
#include "db/database.h"
#include "db/format_version.h"
#include "db/atomicity/transaction.h"
#include "db/retrieval_catalog.h"
#include "db/transaction_lock.h"
#include "journal/inventory.h"
#include "storage/image_store.h"

namespace qm::db {
namespace {

// Takes the lock for the open: exclusively to repair what a dead handle left (its undo file,
// an earlier version's copy-tree backup, or the page journal of a logged workspace); shared, while other handles read,
// when there is nothing to repair. The catalog is then read under it, so no writer changes
// the files half-way through. Busy while another handle writes.
Result<TransactionLock> lock_and_repair(const std::string& dir) {
  auto exclusive = acquire_transaction_lock(dir);
  if (exclusive) {
    QM_TRY(recover_dead_transactions(dir));
    return std::move(exclusive).value();
  }
  QM_ASSIGN(TransactionLock shared, acquire_shared_transaction_lock(dir));
  QM_ASSIGN(bool leftover, dead_transaction_left(dir));
  // A dead transaction's files need the exclusive lock, which other readers hold off.
  if (leftover) return fail(std::move(exclusive).error());
  return shared;
}

std::vector<storage::CasExtent> extents(const std::vector<Extent>& dir) {
  std::vector<storage::CasExtent> out;
  out.reserve(dir.size());
  for (const auto& [offset, length] : dir) out.push_back({offset, length});
  return out;
}

}  // namespace

Result<Database> Database::open_workspace(const std::string& path) {
  QM_ASSIGN(auto created, fs::mkdir_all(path));
  QM_ASSIGN(TransactionLock lock, lock_and_repair(path));
  QM_ASSIGN(Parts parts, load_dev(path));
  lock.release();
  const bool logged = parts.logged;
  Database db(std::move(parts));
  db.directory_ = path;
  db.autoflush_ = true;
  db.files_unsynced_ = true;
  db.created_dirs_ = std::move(created);
  if (logged) db.commit_log_ = CommitLogOptions{};
  return db;
}

Result<std::optional<Database::ManifestFile>> Database::read_manifest_file(const std::string& path) {
  const std::string manifest_path = fs::join(path, kManifestFile);
  QM_ASSIGN(auto before, fs::get().stat(manifest_path));
  if (!before) return std::optional<ManifestFile>();
  ManifestFile file;
  QM_ASSIGN(file.text, fs::read_file(manifest_path));
  // The file just read, when nothing replaced it while it was read.
  auto after = fs::get().stat(manifest_path);
  if (after && *after) {
    const fs::Stat& a = *before;
    const fs::Stat& b = **after;
    if (a.device == b.device && a.inode == b.inode && a.size == b.size && a.ctime_ns == b.ctime_ns) file.identity = b;
  }
  return std::optional<ManifestFile>(std::move(file));
}

Result<Database::Parts> Database::load_dev(const std::string& path) {
  QM_ASSIGN(auto log_entry, fs::get().stat(fs::join(path, kCommitLogDir)));
  QM_ASSIGN(std::optional<ManifestFile> file, read_manifest_file(path));

  if (!file) {
    // A new workspace: no manifest is written until the first flush.
    QM_ASSIGN(storage::WorkspaceStore store, storage::WorkspaceStore::create(path));
    return Parts{Store(storage::PageCache(storage::Backend(std::move(store)), kPageCacheCapacity),
                       storage::CasStore::new_dev(path)),
                 Catalog(), 0, 1, std::nullopt, fs::Stat{}};
  }
  const std::string& text = file->text;
  // Read in one pass: the inline index pairs go straight into their indexes.
  QM_ASSIGN(ManifestWithIndexes read, read_manifest_with_indexes(text));
  const Manifest& manifest = read.manifest;
  QM_TRY(check_manifest_version(manifest));
  const bool logged = log_entry.has_value() || manifest.commit_sequence.has_value();
  QM_TRY(retrieval_descriptors_of(manifest));

  // Row ids keep the page id in their upper 48 bits; a larger page count could only come
  // from a damaged or hostile manifest, and would make row ids wrap onto other pages.
  if (manifest.page_count > storage::kMaxPageCount)
    return fail(QmError::corruption("manifest page_count " + std::to_string(manifest.page_count) +
                                    " exceeds the addressable page range"));
  QM_ASSIGN(storage::WorkspaceStore store, storage::WorkspaceStore::open(path, manifest.page_count));
  storage::PageCache cache(storage::Backend(std::move(store)), kPageCacheCapacity);
  QM_TRY(preflight_retrieval_blobs(path, manifest));
  QM_ASSIGN(storage::CasStore cas, storage::CasStore::load_dev(path, manifest.cas_hashes));
  QM_ASSIGN(TableMap tables, build_tables(cache, cas, manifest, /*writable=*/true, {}, &read.indexes));
  QM_ASSIGN(persistent::Catalog retrieval, load_retrieval_catalog(cache, cas, tables, manifest));
  Catalog catalog(std::move(tables));
  catalog.retrieval() = std::move(retrieval);

  return Parts{Store(std::move(cache), std::move(cas)),
               std::move(catalog),
               manifest.clock,
               logged ? std::max(manifest.format_version, kLoggedFormatVersion) : manifest.format_version,
               blake3(text),
               file->identity,
               logged};
}

Result<Database> Database::open_image(const std::string& path) {
  QM_ASSIGN(storage::ImageStore image, storage::ImageStore::open(path));
  const auto map = image.mapping();  // keeps the bytes alive while the catalog is read
  const std::span<const uint8_t> bytes = image.bytes();
  const uint64_t manifest_offset = image.header().manifest_offset;
  const uint64_t pages_end = image.header().pages_end;
  const uint16_t header_version = image.header().format_version;

  QM_ASSIGN(Manifest manifest, read_manifest_json(as_chars(bytes.subspan(manifest_offset))));
  QM_TRY(check_manifest_version(manifest));
  QM_TRY(check_header_manifest_version(header_version, manifest));
  QM_TRY(retrieval_descriptors_of(manifest));
  QM_ASSIGN(uint64_t pool_end, cas_pool_end(manifest, pages_end, manifest_offset));
  const auto directory = extents(manifest.cas_dir);
  QM_ASSIGN(storage::CasStore cas,
            storage::CasStore::from_mapped(map, pages_end, pool_end, directory, manifest.cas_hashes));
  QM_ASSIGN(auto region, slice_index_region(bytes, manifest, pages_end, manifest_offset));

  storage::PageCache cache(storage::Backend(std::move(image)), kPageCacheCapacity);
  QM_ASSIGN(Parts parts, image_parts(std::move(cache), std::move(cas), manifest, /*writable=*/false, region));
  return Database(std::move(parts));
}

}  // namespace qm::db
