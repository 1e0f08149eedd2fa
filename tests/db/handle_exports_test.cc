// The open, close, export and import calls of the C interface: argument texts, ownership of
// the returned buffer and the handles.
#include <gtest/gtest.h>

#include <string>

#include "quilmarr.h"
#include "support/c_api.h"
#include "support/temp_dir.h"

namespace {

using namespace qm::test;

TEST(HandleExports, OpenCallsRefuseNullOrInvalidPaths) {
  EXPECT_EQ(outcome(qm_open_dev(nullptr)), "error: qm_open_dev: path is NULL or not valid UTF-8");
  EXPECT_EQ(outcome(qm_open_dev("bad\xff")), "error: qm_open_dev: path is NULL or not valid UTF-8");
  EXPECT_EQ(outcome(qm_open_prod(nullptr)), "error: qm_open_prod: path is NULL or not valid UTF-8");
  qm::test::TempDir tmp;
  EXPECT_EQ(qm_open_prod(tmp.join("missing.qmdb").c_str()), nullptr);
  EXPECT_EQ(last_error().rfind("i/o error: ", 0), 0u);
}

TEST(HandleExports, FailedOpenReportsTheErrorTextAndSuccessClearsIt) {
  qm::test::TempDir tmp;
  QmDb* db = qm_open_dev(tmp.join("ws").c_str());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(qm_last_error(), nullptr);
  qm_close(db);
  // The commit-log check of the open reads the manifest first.
  qm::test::write_file(tmp.join("ws/qm_manifest.json"), "3");
  EXPECT_EQ(outcome(qm_open_dev(tmp.join("ws").c_str())),
            "error: manifest error: invalid type: integer, expected struct ManifestMeta");
  qm_close(nullptr);  // ignored, and the last error stays
  EXPECT_EQ(last_error(), "manifest error: invalid type: integer, expected struct ManifestMeta");
}

TEST(HandleExports, ExportChecksOutLenBeforeTheHandle) {
  QmDb* db = qm_open_memory();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(outcome(qm_export(db, nullptr)), "error: qm_export: out_len is NULL");
  EXPECT_EQ(outcome(qm_export(nullptr, nullptr)), "error: qm_export: out_len is NULL");
  size_t n = 77;
  EXPECT_EQ(qm_export(nullptr, &n), nullptr);
  EXPECT_EQ(outcome(n), "error: qm_export: db handle is NULL");
  qm_close(db);
}

TEST(HandleExports, ImportRefusesNullAndShortInput) {
  EXPECT_EQ(outcome(qm_import(nullptr, 10)), "error: qm_import: bytes is NULL");
  const uint8_t one = 0;
  EXPECT_EQ(outcome(qm_import(&one, 0)), "error: buffer too small: needed 24 bytes, got 0");
}

}  // namespace
