// The vault over a file system that fails on cue: a publish whose directory flush fails is
// reported as an unknown outcome and poisons the handle; failures before the rename change
// nothing and keep the old secret.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

#include "core/bytes.h"
#include "encryption/vault.h"
#include "support/faulty_fs.h"
#include "support/result_text.h"

namespace qm::encryption {
namespace {

using Op = test::FaultyFs::Op;

Secret key(uint8_t fill) {
  std::array<uint8_t, 32> k;
  k.fill(fill);
  return *Secret::raw(k);
}

std::vector<VaultStatement> insert(int id) {
  std::vector<VaultStatement> batch;
  batch.push_back({"INSERT INTO t VALUES (?)", {Value::integer(id)}});
  return batch;
}

std::string count(Vault& v) {
  auto r = v.query("SELECT COUNT(*) FROM t", {});
  if (!r) return r.error().message();
  return display(std::get<RowsResult>(*r).rows.at(0).at(0));
}

class VaultFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    disk.make_dirs("/v");
    vault.emplace(must(Vault::create("/v/a.vault", key(1))));
    std::vector<VaultStatement> schema{{"CREATE TABLE t (id)", {}}};
    ASSERT_TRUE(vault->execute_batch(schema).has_value());
  }
  void TearDown() override { vault.reset(); }

  test::FaultyFs disk;
  fs::ScopedFileSystem use{disk};
  std::optional<Vault> vault;
};

TEST_F(VaultFaults, FailedDirectoryFlushAfterPublishPoisonsTheHandle) {
  const auto before = *disk.contents("/v/a.vault");
  disk.fail_nth(Op::SyncDir, 1);
  const std::string published = error_text(vault->execute_batch(insert(1)));
  EXPECT_EQ(published.rfind("transaction outcome is unknown: ciphertext published but directory sync failed: ", 0), 0u)
      << published;
  EXPECT_NE(*disk.contents("/v/a.vault"), before);  // the new envelope is in place
  EXPECT_TRUE(vault->poisoned());
  EXPECT_EQ(count(*vault), "transaction outcome is unknown: reopen the vault before further operations");

  // Reopened, the vault holds the batch that was published.
  vault.reset();
  auto again = must(Vault::open("/v/a.vault", key(1)));
  EXPECT_EQ(count(again), "1");
}

TEST_F(VaultFaults, FailuresBeforeTheRenameChangeNothing) {
  const auto before = *disk.contents("/v/a.vault");
  for (Op op : {Op::Write, Op::Sync, Op::Rename}) {
    disk.fail_nth(op, 1);
    EXPECT_EQ(error_text(vault->execute_batch(insert(1))).rfind("i/o error: ", 0), 0u);
    disk.fail_nth(op, 1);
    EXPECT_EQ(error_text(vault->rotate_key(key(2))).rfind("i/o error: ", 0), 0u);
    EXPECT_FALSE(vault->poisoned());
    EXPECT_EQ(*disk.contents("/v/a.vault"), before);
    EXPECT_EQ(disk.list_dir("/v")->size(), 2u);  // the vault and its lock, no temporary left
  }
  // A batch writes its envelope piece by piece as it is sealed: a failure after the first
  // piece (here the tag's) leaves nothing behind either.
  disk.fail_nth(Op::Write, 2);
  EXPECT_EQ(error_text(vault->execute_batch(insert(1))).rfind("i/o error: ", 0), 0u);
  EXPECT_FALSE(vault->poisoned());
  EXPECT_EQ(*disk.contents("/v/a.vault"), before);
  EXPECT_EQ(disk.list_dir("/v")->size(), 2u);
  EXPECT_EQ(count(*vault), "0");
  // The old secret is still the one in use: the next batch seals with it.
  ASSERT_TRUE(vault->execute_batch(insert(5)).has_value());
  vault.reset();
  EXPECT_FALSE(Vault::open("/v/a.vault", key(2)).has_value());
  auto reopened = must(Vault::open("/v/a.vault", key(1)));
  EXPECT_EQ(count(reopened), "1");
}

TEST_F(VaultFaults, AnAcknowledgedBatchSurvivesPowerLoss) {
  ASSERT_TRUE(vault->execute_batch(insert(1)).has_value());
  disk.power_loss();
  vault.reset();
  auto again = must(Vault::open("/v/a.vault", key(1)));
  EXPECT_EQ(count(again), "1");
}

TEST_F(VaultFaults, AMalformedFileFailsTheWriteWithoutPoisoning) {
  const auto before = *disk.contents("/v/a.vault");
  disk.put_file("/v/a.vault", "not an envelope");
  EXPECT_EQ(vault->execute_batch(insert(1)).error().message(),
            "data corruption: encrypted snapshot: unsupported or malformed envelope");
  EXPECT_FALSE(vault->poisoned());
  disk.put_file("/v/a.vault", before);  // put back, the handle carries on
  ASSERT_TRUE(vault->execute_batch(insert(1)).has_value());
  EXPECT_EQ(count(*vault), "1");
}

// Only a lock another handle holds reads as "already open"; a lock call that fails names the
// system's error.
TEST_F(VaultFaults, ALockThatCannotBeTakenNamesItsCause) {
  const std::pair<int, const char*> cases[] = {
      {EIO, "i/o error: flock /v/a.vault.qmlock: Input/output error (os error 5)"},
      {ENOSPC, "i/o error: flock /v/a.vault.qmlock: No space left on device (os error 28)"},
  };
  EXPECT_EQ(error_text(Vault::open("/v/a.vault", key(1))),
            "transaction error: vault is already open or cannot be locked");
  vault.reset();
  for (const auto& [err, text] : cases) {
    disk.fail_nth(Op::Lock, 1, err);
    EXPECT_EQ(error_text(Vault::open("/v/a.vault", key(1))), text);
  }
  vault.emplace(must(Vault::open("/v/a.vault", key(1))));  // a lock that can be taken is taken
  EXPECT_EQ(count(*vault), "0");
}

}  // namespace
}  // namespace qm::encryption
