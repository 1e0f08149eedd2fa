#include "db/atomicity/copy_tree_files.h"

#include <string_view>
#include <vector>

#include "core/fs.h"

namespace qm::db {
namespace {

QmError refuse_symlink(const std::string& path) {
  return QmError::transaction("refusing to copy symlink in workspace transaction: " + path);
}
QmError refuse_special(const std::string& path) {
  return QmError::transaction("unsupported workspace entry during transaction: " + path);
}

Result<bool> exists(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().lstat(path));
  return st.has_value();
}

Result<bool> is_regular_file(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().lstat(path));
  return st && st->kind == fs::EntryKind::Regular;
}

Result<void> remove_if_exists(const std::string& path) {
  QM_ASSIGN(bool there, exists(path));
  if (there) QM_TRY(fs::get().unlink(path));
  return {};
}

// Copies one regular file and flushes the copy, or with `link` hard-links it and flushes the
// link; where links are refused, the file is copied with the same permission bits (a file
// made private stays private through a backup and its restore).
Result<void> copy_file_synced(const std::string& source, const std::string& destination, uint32_t mode,
                              bool link) {
  QM_TRY(fs::mkdir_all(fs::parent_dir(destination)));
  if (link && fs::get().hard_link(source, destination)) {
    QM_ASSIGN(fs::File linked, fs::get().open(destination, fs::kRead | fs::kNoFollow));
    return linked.sync();
  }
  QM_ASSIGN(fs::File in, fs::get().open(source, fs::kRead | fs::kNoFollow));
  // Created private; the source's bits are set once the bytes are in.
  QM_ASSIGN(fs::File out, fs::get().open(destination, fs::kWrite | fs::kCreate | fs::kTruncate, 0600));
  QM_ASSIGN(uint64_t length, in.size());
  QM_TRY(fs::get().copy_contents(in, out, length));
  QM_TRY(fs::get().chmod(destination, mode));
  QM_TRY(out.sync());
  return {};
}

// Recursive copy; every copied file and directory is flushed to stable storage.
Result<void> copy_tree(const std::string& source, const std::string& destination, bool link) {
  QM_ASSIGN(auto st, fs::get().lstat(source));
  if (!st) return fail(QmError::from_errno(source, ENOENT));
  switch (st->kind) {
    case fs::EntryKind::Regular: return copy_file_synced(source, destination, st->mode, link);
    case fs::EntryKind::Directory: {
      QM_TRY(fs::mkdir_all(destination));
      QM_ASSIGN(auto names, fs::get().list_dir(source));
      for (const auto& name : names) QM_TRY(copy_tree(fs::join(source, name), fs::join(destination, name), link));
      return sync_directory(destination);
    }
    case fs::EntryKind::Symlink: return fail(refuse_symlink(source));
    case fs::EntryKind::Other: return fail(refuse_special(source));
  }
  return fail(refuse_special(source));
}

}  // namespace

Result<void> sync_directory(const std::string& path) { return fs::get().sync_dir(path); }

Result<void> remove_tree(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (!st) return {};
  if (st->kind != fs::EntryKind::Directory) return fs::get().unlink(path);
  QM_ASSIGN(auto names, fs::get().list_dir(path));
  for (const auto& name : names) QM_TRY(remove_tree(fs::join(path, name)));
  return fs::get().rmdir(path);
}

Result<void> copy_backup_item(const std::string& source, const std::string& destination, const char* item) {
  return copy_tree(source, destination, std::string_view(item) == kBlobsDir);
}

Result<void> validate_copy_tree(const std::string& path) {
  QM_ASSIGN(auto st, fs::get().lstat(path));
  if (!st) return fail(QmError::from_errno(path, ENOENT));
  switch (st->kind) {
    case fs::EntryKind::Regular: return {};
    case fs::EntryKind::Directory: {
      QM_ASSIGN(auto names, fs::get().list_dir(path));
      for (const auto& name : names) QM_TRY(validate_copy_tree(fs::join(path, name)));
      return {};
    }
    case fs::EntryKind::Symlink: return fail(refuse_symlink(path));
    case fs::EntryKind::Other: return fail(refuse_special(path));
  }
  return fail(refuse_special(path));
}

Result<void> recover_workspace_transaction(const std::string& workspace) {
  const std::string backup = fs::join(workspace, kTxBackup);
  QM_ASSIGN(bool marked, exists(fs::join(workspace, kTxMarker)));
  if (!marked) {
    QM_TRY(remove_tree(backup));
  } else {
    QM_ASSIGN(bool has_manifest, is_regular_file(fs::join(backup, kManifestFile)));
    if (!has_manifest) return fail(QmError::transaction("active transaction has no valid recovery manifest"));
    QM_TRY(restore_workspace_transaction(workspace));
  }
  return remove_if_exists(fs::join(workspace, kTxMarkerTmp));
}

Result<void> restore_workspace_transaction(const std::string& workspace) {
  const std::string marker = fs::join(workspace, kTxMarker);
  const std::string backup = fs::join(workspace, kTxBackup);
  QM_ASSIGN(bool marked, exists(marker));
  QM_ASSIGN(bool has_manifest, is_regular_file(fs::join(backup, kManifestFile)));
  if (!marked || !has_manifest) return fail(QmError::transaction("workspace transaction recovery files are incomplete"));
  // Validate the whole backup before any live file is touched.
  for (const char* item : kBackupItems) {
    const std::string saved = fs::join(backup, item);
    QM_ASSIGN(bool there, exists(saved));
    if (there) QM_TRY(validate_copy_tree(saved));
  }
  for (const char* item : kBackupItems) {
    const std::string live = fs::join(workspace, item);
    QM_ASSIGN(auto st, fs::get().lstat(live));
    if (st) {
      if (st->kind == fs::EntryKind::Symlink)
        return fail(QmError::transaction("refusing to replace symlink during transaction recovery: " + live));
      QM_TRY(remove_tree(live));
    }
    const std::string saved = fs::join(backup, item);
    QM_ASSIGN(bool there, exists(saved));
    if (there) QM_TRY(copy_backup_item(saved, live, item));
  }
  QM_TRY(sync_directory(workspace));
  QM_TRY(fs::get().unlink(marker));
  QM_TRY(sync_directory(workspace));
  return remove_tree(backup);
}

}  // namespace qm::db
