#include "support/copy_tree_layout.h"

#include <string_view>

#include "core/fs.h"
#include "db/atomicity/copy_tree_files.h"
#include "table/limits.h"

namespace qm::test {

Result<void> prepare_workspace_transaction(const std::string& workspace) {
  using namespace qm::db;
  const std::string marker = fs::join(workspace, kTxMarker);
  const std::string marker_tmp = fs::join(workspace, kTxMarkerTmp);
  const std::string backup = fs::join(workspace, kTxBackup);
  QM_ASSIGN(auto marked, fs::get().lstat(marker));
  if (marked) return fail(QmError::transaction("workspace already has an active recovery marker"));
  QM_TRY(remove_tree(backup));
  QM_ASSIGN(auto stale, fs::get().lstat(marker_tmp));
  if (stale) QM_TRY(fs::get().unlink(marker_tmp));
  QM_TRY(fs::get().mkdir(backup, 0777));
  for (const char* item : kBackupItems) {
    const std::string live = fs::join(workspace, item);
    QM_ASSIGN(auto there, fs::get().lstat(live));
    if (there) QM_TRY(copy_backup_item(live, fs::join(backup, item), item));
  }
  QM_TRY(sync_directory(backup));
  {
    QM_ASSIGN(fs::File f, fs::get().open(marker_tmp, fs::kWrite | fs::kCreate | fs::kTruncate, 0666));
    QM_TRY(f.write_all_at(std::string_view(kTxMarkerBytes), 0));
    QM_TRY(f.sync());
  }
  QM_TRY(fs::get().rename(marker_tmp, marker));
  return sync_directory(workspace);
}

}  // namespace qm::test
