// The vault through the C interface: lifecycle, locking, batches, change detection, backup,
// rotation and every argument and request-shape error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <initializer_list>
#include <string>
#include <vector>

#include "quilmarr.h"
#include "support/c_api.h"
#include "support/temp_dir.h"

namespace qm::test {
namespace {

using VaultApiDir = qm::test::InTempDir;

const std::array<uint8_t, 32> kKey{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                   7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
const std::array<uint8_t, 32> kOtherKey{9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
                                        9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
const std::string kPass = "a long enough passphrase";

QmVault* open_raw(const std::string& path, const std::array<uint8_t, 32>& key, int create) {
  return qm_vault_open(path.c_str(), key.data(), key.size(), 0, create);
}

// The reply or "error: <last error>".
std::string request(QmVault* v, const std::string& json) { return take_json(qm_vault_request(v, json.c_str())); }

QmVault* open_pass(const std::string& path, const std::string& pass, int create) {
  return qm_vault_open(path.c_str(), reinterpret_cast<const uint8_t*>(pass.data()), pass.size(), 1, create);
}

// Request texts for statements without double quotes or backslashes.
std::string batch(std::initializer_list<std::string> sqls) {
  std::string out = R"J({"action":"batch","commands":[)J";
  for (const auto& sql : sqls) out += (out.back() == '[' ? "" : ",") + std::string(R"J({"sql":")J") + sql + "\"}";
  return out + "]}";
}
std::string query(const std::string& sql) { return R"J({"action":"query","sql":")J" + sql + "\"}"; }

std::string open_error(QmVault* v) {
  if (v) {
    qm_vault_close(v);
    return "opened";
  }
  return last_error();
}

const char* kCreateTable =
    R"J({"action":"batch","commands":[{"sql":"CREATE TABLE t (id, name)"},)J"
    R"J({"sql":"INSERT INTO t VALUES (?, ?)","params":[1,"one"]}]})J";
const std::string kSelectAll = query("SELECT * FROM t");
const char* kOneRow = R"J({"columns":["id","name"],"rows":[[1,"one"]]})J";

class VaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.join("books.vault");
    vault = open_raw(path, kKey, 1);
    ASSERT_NE(vault, nullptr) << last_error();
    ASSERT_EQ(request(vault, kCreateTable), R"J({"committed":true,"statements":2})J");
  }
  void TearDown() override { qm_vault_close(vault); }

  TempDir dir;
  std::string path;
  QmVault* vault = nullptr;
};

TEST_F(VaultTest, WritesSurviveReopenAndQueriesReadTheLiveDatabase) {
  EXPECT_EQ(request(vault, kSelectAll), kOneRow);
  EXPECT_EQ(request(vault, R"J({"action":"query","sql":"SELECT name FROM t WHERE id = ?","params":[1]})J"),
            R"J({"columns":["name"],"rows":[["one"]]})J");
  EXPECT_EQ(request(vault, R"J({"action":"query","sql":"SELECT * FROM t","params":[]})J"), kOneRow);
  std::string stats = request(vault, R"J({"action":"inspect","anything":[1,2]})J");
  EXPECT_NE(stats.find(R"J("storage_mode":"memory")J"), std::string::npos) << stats;
  qm_vault_close(vault);
  struct stat st;
  ASSERT_EQ(0, ::stat((path + ".qmlock").c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  vault = open_raw(path, kKey, 0);
  ASSERT_NE(vault, nullptr) << last_error();
  EXPECT_EQ(request(vault, kSelectAll), kOneRow);
}

TEST_F(VaultTest, RetrieveSearchesANamedIndexThatSurvivesReopen) {
  ASSERT_EQ(request(vault, batch({"INSERT INTO t VALUES (2, 'one more one')",
                                  "CREATE INDEX t_fts ON t USING FULLTEXT (name) WITH (id_column = 'id')"})),
            R"J({"committed":true,"statements":2})J");
  const std::string retrieve =
      R"J({"action":"retrieve","request":{"kind":"full_text","sql":"SELECT * FROM t","id_column":"id",)J"
      R"J("text_columns":["name"],"query":"one","limit":5,"index":"t_fts"}})J";
  const std::string hits = request(vault, retrieve);
  // The shorter document ranks first (BM25 length normalisation).
  EXPECT_EQ(hits.rfind(R"J([{"id":"1","score":)J", 0), 0u) << hits;
  EXPECT_NE(hits.find(R"J({"id":"2","score":)J"), std::string::npos) << hits;
  const std::string stats = request(vault, R"J({"action":"inspect"})J");
  EXPECT_NE(stats.find(R"J("retrieval_indexes":[{"definition":{"name":"t_fts","table":"t")J"), std::string::npos) << stats;
  qm_vault_close(vault);
  vault = open_raw(path, kKey, 0);
  ASSERT_NE(vault, nullptr) << last_error();
  EXPECT_EQ(request(vault, retrieve), hits);
}

TEST_F(VaultTest, SecondOpenIsRefusedInThisAndAnotherProcessUntilClose) {
  const std::string busy = "transaction error: vault is already open or cannot be locked";
  EXPECT_EQ(open_error(open_raw(path, kKey, 0)), busy);
  EXPECT_EQ(open_error(open_raw(dir.path() + "/./books.vault", kKey, 0)), busy);
  auto child_open = [&] {
    pid_t pid = fork();
    if (pid == 0) {
      QmVault* v = open_raw(path, kKey, 0);
      _exit(v ? 0 : (last_error() == busy ? 1 : 2));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(child_open(), 1);
  qm_vault_close(vault);
  vault = nullptr;
  EXPECT_EQ(child_open(), 0);
  vault = open_raw(path, kKey, 0);
  EXPECT_NE(vault, nullptr) << last_error();
}

TEST_F(VaultTest, FailedBatchesLeaveFileAndDatabaseUntouched) {
  const std::string before = read_file(path);
  const std::pair<std::string, std::string> cases[] = {
      {batch({"INSERT INTO t VALUES (2, 'two')", "INSERT INTO t VALUES (3, 'three')", "INSERT INTO nowhere VALUES (1)"}),
       "error: table not found: nowhere"},
      {batch({"INSERT INTO t VALUES (2, 'two')", "BEGIN"}), ""},
      {batch({"INSERT INTO t VALUES (2, 'two')", "COMMIT"}), ""},
      {batch({"INSERT INTO t VALUES (2, 'two')", "ROLLBACK"}), ""},
      {batch({"SELECT * FROM t"}),
       "error: query parse error: use query for SELECT, not a write batch"},
      {R"J({"action":"batch","commands":[{"sql":"INSERT INTO t VALUES (2, 'x')"},{"sql":"DELETE FROM t WHERE id = ?","params":[[1]]}]})J",
       "error: query parse error: array and object parameters are not supported"},
      {batch({}),
       "error: query resource limit exceeded: vault batch requires 1..=256 bounded statements"},
  };
  for (const auto& [req, error] : cases) {
    std::string got = request(vault, req);
    if (error.empty()) EXPECT_EQ(got.rfind("error: ", 0), 0u) << req << " -> " << got;
    else EXPECT_EQ(got, error) << req;
    EXPECT_EQ(read_file(path), before) << req;
    EXPECT_EQ(request(vault, kSelectAll), kOneRow) << req;
  }
  // Statements that read but are not the single-table form run inside a batch.
  EXPECT_EQ(request(vault, batch({"EXPLAIN SELECT * FROM t"})),
            R"J({"committed":true,"statements":1})J");
}

TEST_F(VaultTest, BoundsAreCheckedBeforeAnythingRuns) {
  std::string commands;
  for (int i = 0; i < 257; ++i) commands += std::string(i ? "," : "") + R"J({"sql":"DELETE FROM t WHERE id = 1"})J";
  std::string params;
  for (int i = 0; i < 257; ++i) params += std::string(i ? "," : "") + "1";
  const std::string long_sql = "SELECT * FROM t WHERE name = '" + std::string(65536, 'x') + "'";
  const std::string batch_limit = "error: query resource limit exceeded: vault batch requires 1..=256 bounded statements";
  EXPECT_EQ(request(vault, R"J({"action":"batch","commands":[)J" + commands + "]}"), batch_limit);
  EXPECT_EQ(request(vault, batch({long_sql})), batch_limit);
  EXPECT_EQ(request(vault, query(long_sql)),
            "error: query resource limit exceeded: vault query limits exceeded");
  EXPECT_EQ(request(vault, R"J({"action":"query","sql":"SELECT * FROM t","params":[)J" + params + "]}"),
            "error: query resource limit exceeded: at most 256 parameters");
}

TEST_F(VaultTest, QueryTakesOnlyTheSingleTableSelect) {
  const std::string refused = "error: query parse error: vault query requires SELECT; use a transaction for writes";
  for (const char* sql : {"SELECT a.id FROM t a", "SELECT * FROM t JOIN t AS u ON t.id = u.id",
                          "EXPLAIN SELECT * FROM t", "DELETE FROM t WHERE id = 1", "CREATE TABLE u (x)"})
    EXPECT_EQ(request(vault, query(sql)), refused) << sql;
  EXPECT_EQ(request(vault, kSelectAll), kOneRow);
}

TEST_F(VaultTest, AFileReplacedBehindTheHandlePoisonsIt) {
  const std::string other = dir.join("other.vault");
  QmVault* second = open_raw(other, kKey, 1);
  ASSERT_NE(second, nullptr) << last_error();
  qm_vault_close(second);
  ASSERT_EQ(0, ::rename(other.c_str(), path.c_str()));
  const std::string replaced = read_file(path);
  EXPECT_EQ(request(vault, batch({"DELETE FROM t WHERE id = 1"})),
            "error: transaction error: vault changed outside this handle; reopen it");
  const std::string poisoned = "error: transaction outcome is unknown: reopen the vault before further operations";
  EXPECT_EQ(request(vault, kSelectAll), poisoned);
  EXPECT_EQ(request(vault, R"J({"action":"inspect"})J"), poisoned);
  EXPECT_EQ(request(vault, R"J({"action":"backup","path":")J" + dir.join("b") + R"J("})J"), poisoned);
  EXPECT_EQ(qm_vault_rotate(vault, kOtherKey.data(), 32, 0), 0);
  EXPECT_EQ(last_error(), poisoned.substr(7));
  // Bounds come before the poison check.
  EXPECT_EQ(request(vault, batch({})),
            "error: query resource limit exceeded: vault batch requires 1..=256 bounded statements");
  EXPECT_EQ(read_file(path), replaced);
}

TEST_F(VaultTest, BackupIsVerifiedAndNeverOverwrites) {
  const std::string backup = dir.join("copy.vault");
  EXPECT_EQ(request(vault, R"J({"action":"backup","path":")J" + backup + R"J("})J"), R"J({"verified":true})J");
  const std::string first = read_file(backup);
  std::string again = request(vault, R"J({"action":"backup","path":")J" + backup + R"J("})J");
  EXPECT_EQ(again.rfind("error: i/o error: ", 0), 0u) << again;
  EXPECT_EQ(read_file(backup), first);
  QmVault* copy = open_raw(backup, kKey, 0);
  ASSERT_NE(copy, nullptr) << last_error();
  EXPECT_EQ(request(copy, kSelectAll), kOneRow);
  qm_vault_close(copy);
}

TEST_F(VaultTest, RotationSwitchesTheSecretAndAFailedOneKeepsTheOld) {
  const std::string auth = "data corruption: encrypted snapshot: authentication failed";
  // From a raw key to a passphrase: only the new secret opens the file afterwards.
  ASSERT_EQ(qm_vault_rotate(vault, reinterpret_cast<const uint8_t*>(kPass.data()), kPass.size(), 1), 1)
      << last_error();
  EXPECT_EQ(request(vault, kSelectAll), kOneRow);
  EXPECT_EQ(request(vault, batch({"INSERT INTO t VALUES (2, 'two')"})),
            R"J({"committed":true,"statements":1})J");
  qm_vault_close(vault);
  vault = nullptr;
  EXPECT_EQ(open_error(open_raw(path, kKey, 0)), auth);
  vault = open_pass(path, kPass, 0);
  ASSERT_NE(vault, nullptr) << last_error();
  EXPECT_EQ(request(vault, query("SELECT COUNT(*) FROM t")),
            R"J({"columns":["count"],"rows":[[2]]})J");

  // A rotation refused before it starts changes nothing.
  EXPECT_EQ(outcome(qm_vault_rotate(vault, kOtherKey.data(), 31, 0)),
            "error: query parse error: invalid secret kind or length");
  qm_vault_close(vault);
  const std::string wrong = "not the passphrase at all";
  vault = nullptr;
  EXPECT_EQ(open_error(open_pass(path, wrong, 0)), auth);
}

TEST_F(VaultTest, PathsThatAreNotPlainFilesAreRefused) {
  const std::string not_regular = "data corruption: encrypted snapshot: vault must be a regular file";
  ASSERT_EQ(0, ::symlink(path.c_str(), dir.join("link.vault").c_str()));
  ASSERT_EQ(0, ::mkdir(dir.join("dir.vault").c_str(), 0700));
  ASSERT_EQ(0, ::mkfifo(dir.join("fifo.vault").c_str(), 0600));
  ASSERT_EQ(0, ::mkfifo(dir.join("x.vault.qmlock").c_str(), 0600));
  EXPECT_EQ(open_error(open_raw(dir.join("link.vault"), kKey, 0)), not_regular);
  EXPECT_EQ(open_error(open_raw(dir.join("dir.vault"), kKey, 1)), not_regular);
  EXPECT_EQ(open_error(open_raw(dir.join("fifo.vault"), kKey, 0)), not_regular);
  EXPECT_EQ(open_error(open_raw(dir.join("x.vault"), kKey, 1)), "data corruption: encrypted snapshot: invalid lock file");
  for (const std::string& nameless : {std::string(), dir.path() + "/..", std::string("/")})
    EXPECT_EQ(open_error(open_raw(nameless, kKey, 1)), "data corruption: encrypted snapshot: vault requires a file name")
        << nameless;
  EXPECT_EQ(open_error(open_raw(dir.join("missing/v.vault"), kKey, 1)).rfind("i/o error: ", 0), 0u);
  EXPECT_EQ(open_error(open_raw(dir.join("absent.vault"), kKey, 0)).rfind("i/o error: ", 0), 0u);

  // Creating over an existing file fails, leaves it as it was and releases the lock.
  const std::string existing = dir.join("existing.vault");
  write_file(existing, "keep me");
  EXPECT_EQ(open_error(open_raw(existing, kKey, 1)).rfind("i/o error: ", 0), 0u);
  EXPECT_EQ(read_file(existing), "keep me");
  EXPECT_EQ(open_error(open_raw(existing, kKey, 0)),
            "data corruption: encrypted snapshot: unsupported or malformed envelope");
}

TEST_F(VaultApiDir, ArgumentErrorsHaveTheirTexts) {
  const std::string path = tmp.join("v.vault");
  const std::string bad_secret = "query parse error: invalid secret kind or length";
  std::vector<uint8_t> long_secret(1025, 'p');
  struct Case {
    const char* name;
    const char* path;
    const uint8_t* secret;
    size_t len;
    uint32_t kind;
    int32_t create;
    std::string error;
  };
  const char bad_utf8[] = {'\xff', 'v', 0};
  const std::vector<Case> cases = {
      {"NULL path", nullptr, kKey.data(), 32, 0, 1, "query parse error: invalid vault path"},
      {"invalid UTF-8 path", bad_utf8, kKey.data(), 32, 0, 1, "query parse error: invalid vault path"},
      {"NULL secret", path.c_str(), nullptr, 32, 0, 1, bad_secret},
      {"raw 31", path.c_str(), kKey.data(), 31, 0, 1, bad_secret},
      {"raw 33", path.c_str(), long_secret.data(), 33, 0, 1, bad_secret},
      {"passphrase 11", path.c_str(), long_secret.data(), 11, 1, 1, bad_secret},
      {"passphrase 1025", path.c_str(), long_secret.data(), 1025, 1, 1, bad_secret},
      {"kind 2", path.c_str(), kKey.data(), 32, 2, 1, bad_secret},
      {"raw 31 with create 2", path.c_str(), kKey.data(), 31, 0, 2, bad_secret},
      {"create 2", path.c_str(), kKey.data(), 32, 0, 2, "query parse error: create must be 0 or 1"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(open_error(qm_vault_open(c.path, c.secret, c.len, c.kind, c.create)), c.error) << c.name;
  EXPECT_EQ(::access(path.c_str(), F_OK), -1);

  EXPECT_EQ(take_json(qm_vault_request(nullptr, "{}")), "error: query parse error: vault is closed");
  EXPECT_EQ(outcome(qm_vault_rotate(nullptr, kKey.data(), 32, 0)), "error: query parse error: vault is closed");
  qm_vault_close(nullptr);
  EXPECT_EQ(last_error(), "query parse error: vault is closed");  // close leaves the last error alone
}

TEST_F(VaultApiDir, RequestShapesAreCheckedStrictly) {
  QmVault* v = open_raw(tmp.join("v.vault"), kKey, 1);
  ASSERT_NE(v, nullptr) << last_error();
  const std::string m = "error: manifest error: ";
  const std::pair<std::string, std::string> cases[] = {
      {"[1]", m + "invalid type: sequence, expected internally tagged enum Request"},
      {"{}", m + "missing field `action`"},
      {R"J({"action":1})J", m + "invalid type: integer, expected variant identifier"},
      {R"J({"action":"drop"})J",
       m + "unknown variant `drop`, expected one of `query`, `batch`, `inspect`, `backup`, `retrieve`"},
      {R"J({"action":"query"})J", m + "missing field `sql`"},
      {R"J({"action":"query","sql":1})J", m + "invalid type: integer, expected a string"},
      {R"J({"action":"query","sql":"SELECT 1","limit":3})J", m + "unknown field `limit`, expected `sql` or `params`"},
      {R"J({"action":"query","sql":"a","sql":"b"})J", m + "duplicate field `sql`"},
      {R"J({"action":"query","action":"query","sql":"a"})J", m + "duplicate field `action`"},
      {R"J({"action":"query","sql":"a","params":{}})J", m + "invalid type: map, expected a sequence"},
      {R"J({"action":"batch"})J", m + "missing field `commands`"},
      {R"J({"action":"batch","commands":[1]})J", m + "invalid type: integer, expected struct Command"},
      {R"J({"action":"batch","commands":[{"sql":"x","extra":1}]})J", m + "unknown field `extra`, expected `sql` or `params`"},
      {R"J({"action":"batch","commands":[{"params":[]}]})J", m + "missing field `sql`"},
      {R"J({"action":"backup"})J", m + "missing field `path`"},
      {R"J({"action":"backup","path":"x","mode":1})J", m + "unknown field `mode`, expected `path`"},
      {R"J({"action":"retrieve"})J", m + "missing field `request`"},
      {R"J({"action":"retrieve","request":{},"k":1})J", m + "unknown field `k`, expected `request`"},
      {R"J({"action":"retrieve","request":{"query":"x"}})J", "error: query parse error: missing field `kind`"},
      {R"J({"action":"query","sql":"SELECT 1",)J", ""},
      {R"J({"action":"query","sql":"SELECT * FROM t","params":[{"a":1}]})J",
       "error: query parse error: array and object parameters are not supported"},
  };
  for (const auto& [req, reply] : cases) {
    std::string got = request(v, req);
    if (reply.empty()) EXPECT_EQ(got.rfind(m, 0), 0u) << req << " -> " << got;
    else EXPECT_EQ(got, reply) << req;
  }

  // Size: exactly 1 MiB is parsed (here: an inspect padded with spaces), one byte more is not.
  std::string padded = R"J({"action":"inspect"})J";
  padded += std::string(1048576 - padded.size(), ' ');
  EXPECT_EQ(request(v, padded).rfind("{\"format_version\"", 0), 0u);
  EXPECT_EQ(request(v, padded + " "), "error: query resource limit exceeded: vault request exceeds 1 MiB");
  // A request nested 500,000 deep is refused without exhausting the stack.
  std::string deep = R"J({"action":"retrieve","request":)J" + std::string(500000, '[');
  std::string nested = request(v, deep + std::string(1048576 - deep.size(), ']'));
  EXPECT_EQ(nested.rfind(m, 0), 0u) << nested.substr(0, 200);
  const char bad_utf8[] = {'{', '\xff', '}', 0};
  EXPECT_EQ(take_json(qm_vault_request(v, bad_utf8)), "error: query parse error: invalid request");
  EXPECT_EQ(take_json(qm_vault_request(v, nullptr)), "error: query parse error: invalid request");
  qm_vault_close(v);
}

}  // namespace
}  // namespace qm::test
