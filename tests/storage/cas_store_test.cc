// The blob store: names and placement of blob files, deduplication, repair of damaged or
// interrupted blob files, durability through sync_data, and the checks of loading a
// workspace store and building one over a mapped image.
#include <algorithm>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>

#include "core/blake3.h"
#include "core/bytes.h"
#include "core/json_writer.h"
#include "storage/cas_store.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "support/result_text.h"

namespace qm::storage {
namespace {

using CasStoreDir = qm::test::InTempDir;
using CasStoreFs = qm::test::OnFaultyFs;
using Op = test::FaultyFs::Op;

std::string hex_of(std::string_view bytes) { return cas::hex(blake3(bytes)); }

TEST_F(CasStoreDir, BlobFileNameIsTheB3sumOfItsBytes) {
  const std::string content = "a blob long enough to leave the record";
  test::write_file(tmp.join("sample"), content);
  std::string b3 = test::run_command("b3sum --no-names " + tmp.join("sample"));
  ASSERT_GE(b3.size(), 64u) << "b3sum is needed for this test";
  b3.resize(64);

  CasStore cas = CasStore::new_dev(tmp.path());
  auto index = must(cas.put(content));
  EXPECT_EQ(index, 0u);
  std::string path = tmp.path() + "/blobs/" + b3.substr(0, 2) + "/" + b3;
  EXPECT_EQ(cas.hashes_hex(), std::vector<std::string>{b3});
  EXPECT_EQ(cas::blob_path(tmp.path(), b3), path);
  EXPECT_EQ(test::read_file(path), content);
  // Nothing but the blob is left in its directory (no temporary files).
  const std::filesystem::directory_iterator entries(tmp.path() + "/blobs/" + b3.substr(0, 2));
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);
}

TEST_F(CasStoreFs, SameBytesTwiceGiveOneEntryAndOneWrite) {
  disk.make_dirs("/ws");
  CasStore cas = CasStore::new_dev("/ws");
  auto a = cas.put(std::string(40, 'a'));
  uint64_t writes = disk.calls(Op::Write);
  auto b = cas.put(std::string(40, 'a'));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(cas.count(), 1u);
  EXPECT_EQ(disk.calls(Op::Write), writes);
  auto c = cas.put(std::string(40, 'c'));
  EXPECT_EQ(*c, 1u);
  EXPECT_EQ(cas.total_bytes(), 80u);
}

TEST_F(CasStoreFs, ExistingFileWithOtherContentIsReplacedNotTrusted) {
  const std::string blob(64, 'k');
  const std::string path = cas::blob_path("/ws", hex_of(blob));
  for (const std::string& damaged : {std::string(64, 'x'), std::string(10, 'k'), std::string()}) {
    disk.put_file(path, damaged);
    CasStore cas = CasStore::new_dev("/ws");
    ASSERT_TRUE(cas.put(blob));
    EXPECT_EQ(disk.contents(path), blob);
  }
  // A correct file is kept as it is.
  const uint64_t writes = disk.calls(Op::Write), renames = disk.calls(Op::Rename);
  CasStore again = CasStore::new_dev("/ws");
  ASSERT_TRUE(again.put(blob));
  EXPECT_EQ(disk.calls(Op::Write), writes);
  EXPECT_EQ(disk.calls(Op::Rename), renames);
}

TEST_F(CasStoreFs, DirectoryInTheBlobsPlaceFailsThePut) {
  const std::string blob(64, 'd');
  disk.make_dirs(cas::blob_path("/ws", hex_of(blob)) + "/inner");
  CasStore cas = CasStore::new_dev("/ws");
  EXPECT_EQ(cas.put(blob).error().kind, ErrorKind::Io);
  EXPECT_EQ(cas.count(), 0u);
}

TEST_F(CasStoreFs, BlobWriteCutShortIsRepairedByTheNextPut) {
  disk.make_dirs("/ws");
  const std::string blob(5000, 'w');
  const std::string path = cas::blob_path("/ws", hex_of(blob));
  CasStore cas = CasStore::new_dev("/ws");
  disk.cut_write(1, 1000);
  EXPECT_EQ(cas.put(blob).error().kind, ErrorKind::Io);
  EXPECT_EQ(cas.count(), 0u);
  EXPECT_FALSE(disk.exists(path));  // the partial bytes never took the blob's name
  EXPECT_EQ(disk.list_dir(fs::parent_dir(path))->size(), 0u);  // nor stayed behind

  ASSERT_TRUE(cas.put(blob));
  EXPECT_EQ(disk.contents(path), blob);
}

TEST_F(CasStoreFs, PartialFileLeftByACrashIsRepairedByTheNextPut) {
  const std::string blob(5000, 'p');
  const std::string path = cas::blob_path("/ws", hex_of(blob));
  disk.put_file(path, blob.substr(0, 4096));
  CasStore cas = CasStore::new_dev("/ws");
  ASSERT_TRUE(cas.put(blob));
  EXPECT_EQ(disk.contents(path), blob);
  // And the workspace opens again with it.
  EXPECT_TRUE(CasStore::load_dev("/ws", cas.hashes_hex()));
}

TEST_F(CasStoreFs, OnlySyncedBlobsSurvivePowerLossAndAFailedSyncKeepsThemPending) {
  disk.make_dirs("/ws");
  CasStore cas = CasStore::new_dev("/ws");
  const std::string kept(100, 's'), lost(100, 'l');
  ASSERT_TRUE(cas.put(kept));
  const size_t pending = cas.pending_sync();
  EXPECT_GT(pending, 0u);
  disk.fail_nth(Op::SyncDir, 1);
  EXPECT_FALSE(cas.sync_data());
  EXPECT_EQ(cas.pending_sync(), pending);
  ASSERT_TRUE(cas.sync_data());
  EXPECT_EQ(cas.pending_sync(), 0u);
  ASSERT_TRUE(cas.put(lost));
  disk.power_loss();
  EXPECT_EQ(disk.contents(cas::blob_path("/ws", hex_of(kept))), kept);
  EXPECT_FALSE(disk.exists(cas::blob_path("/ws", hex_of(lost))));
}

TEST_F(CasStoreFs, LoadDevVerifiesEveryBlob) {
  disk.make_dirs("/ws");
  CasStore cas = CasStore::new_dev("/ws");
  ASSERT_TRUE(cas.put(std::string(30, '1')));
  ASSERT_TRUE(cas.put(std::string(30, '2')));
  auto hashes = cas.hashes_hex();

  auto loaded = must(CasStore::load_dev("/ws", hashes));
  EXPECT_EQ(loaded.count(), 2u);
  EXPECT_EQ(as_chars(*loaded.get(1)), std::string(30, '2'));

  disk.put_file(cas::blob_path("/ws", hashes[1]), std::string(30, '3'));
  EXPECT_EQ(error_text(CasStore::load_dev("/ws", hashes)),
            "data corruption: CAS blob " + hashes[1] + " failed integrity check");

  ASSERT_TRUE(disk.unlink(cas::blob_path("/ws", hashes[1])));
  EXPECT_EQ(CasStore::load_dev("/ws", hashes).error().kind, ErrorKind::Io);
}

TEST_F(CasStoreFs, DigestListNamingOneBlobTwiceIsRefused) {
  disk.make_dirs("/ws");
  CasStore cas = CasStore::new_dev("/ws");
  ASSERT_TRUE(cas.put(std::string(30, '1')));
  ASSERT_TRUE(cas.put(std::string(30, '2')));
  auto h = cas.hashes_hex();
  EXPECT_EQ(CasStore::load_dev("/ws", std::vector<std::string>{h[0], h[1], h[0]}).error().detail,
            "CAS digest " + h[0] + " is listed twice");

  CasStore mem = CasStore::new_memory();
  ASSERT_TRUE(mem.put_listed(as_bytes(std::string(30, '1'))));
  EXPECT_EQ(mem.put_listed(as_bytes(std::string(30, '1'))).error().kind, ErrorKind::Corruption);
}

TEST(CasStore, MappedStoreChecksBoundsAndDigests) {
  const std::string a(20, 'a'), b(35, 'b');
  std::string image = "HEADER" + a + b + "TAIL";
  auto map = std::make_shared<test::BytesMapping>(image);
  std::vector<CasExtent> dir = {{0, 20}, {20, 35}};
  std::vector<std::string> hashes = {hex_of(a), hex_of(b)};
  const uint64_t start = 6, end = 61;

  auto ok = must(CasStore::from_mapped(map, start, end, dir, hashes));
  EXPECT_EQ(as_chars(*ok.get(1)), b);
  EXPECT_EQ(ok.get(1)->data(), map->bytes().data() + 26);  // lent from the mapping
  EXPECT_EQ(ok.pack().pool, a + b);
  EXPECT_EQ(ok.pack().directory, dir);
  EXPECT_EQ(ok.get(2).error().detail, "id 2");

  auto err = [&](uint64_t s, uint64_t e, std::vector<CasExtent> d, std::vector<std::string> h) {
    auto r = CasStore::from_mapped(map, s, e, d, h);
    EXPECT_FALSE(r);
    return r ? std::string() : r.error().detail;
  };
  EXPECT_EQ(err(start, end, {{0, 20}}, hashes), "CAS directory / hash catalog length mismatch");
  EXPECT_EQ(err(end, start, dir, hashes), "CAS pool bounds are inconsistent");
  EXPECT_EQ(err(start, image.size() + 1, dir, hashes), "CAS pool bounds are inconsistent");
  EXPECT_EQ(err(start, end, {{0, 20}, {20, 36}}, hashes), "CAS blob 1 extends past end of pool (62 > 61)");
  EXPECT_EQ(err(start, end, {{0, 20}, {UINT64_MAX, 1}}, hashes), "CAS offset overflow");
  EXPECT_EQ(err(start, end, {{0, 20}, {1, UINT64_MAX}}, hashes), "CAS extent overflow");
  EXPECT_EQ(err(start, end, {{0, 20}, {19, 35}}, hashes), "CAS blob " + hashes[1] + " failed integrity check");
  EXPECT_EQ(err(start, end, {{0, 20}, {0, 20}}, {hashes[0], hashes[0]}), "CAS digest " + hashes[0] + " is listed twice");
  EXPECT_EQ(err(start, end, dir, {hashes[0], "xyz"}), "bad CAS hash length: 3");
  std::string non_hex = hashes[1];
  non_hex[10] = 'g';
  EXPECT_EQ(err(start, end, dir, {hashes[0], non_hex}), "non-hex CAS digest");
}

// A republished value overwrites its own slot only: a slot a put shares (a row holding the
// same bytes) keeps them, and a rollback puts back what an overwrite replaced.
TEST(CasStore, ReplaceNeverOverwritesASharedSlotAndRollsBack) {
  auto text = [](CasStore& cas, uint64_t id) { return as_chars(*cas.get(id)); };
  CasStore cas = CasStore::new_memory();
  auto a = std::string(40, 'a'), b = std::string(40, 'b'), c = std::string(40, 'c');
  uint64_t own = *cas.replace(UINT64_MAX, as_bytes(a));
  EXPECT_EQ(*cas.put(a), own);  // a row value with the same bytes shares the slot
  uint64_t next = *cas.replace(own, as_bytes(b));
  EXPECT_NE(next, own);
  EXPECT_EQ(text(cas, own), a);
  cas.begin_undo();
  EXPECT_EQ(*cas.replace(next, as_bytes(c)), next);  // its own slot is reused
  EXPECT_EQ(text(cas, next), c);
  cas.undo_replaced();
  cas.truncate(2);
  EXPECT_EQ(text(cas, next), b);
  EXPECT_EQ(*cas.put(b), next);
}

// The kept text of the digest list is what encoding the list afresh gives, whatever changed
// the list: puts (new or shared), overwritten slots, rollbacks, truncation, a reload from the
// files and the copies an image import or an export builds.
TEST_F(CasStoreDir, KeptListTextEqualsTheListEncodedAfresh) {
  auto expect_text = [](const CasStore& cas, const char* after) {
    std::string encoded;
    JsonWriter w(encoded);
    w.begin_array();
    for (const std::string& h : cas.hashes_hex()) w.string(h);
    w.end_array();
    ASSERT_EQ("[" + std::string(cas.hashes_json()) + "]", encoded) << "after " << after;
  };
  std::vector<std::string> values;
  for (int i = 0; i < 24; ++i) values.push_back("a value of more than sixteen bytes #" + std::to_string(i));
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
    const std::string root = tmp.join("ws" + std::to_string(seed));
    CasStore cas = CasStore::new_dev(root);
    std::optional<uint64_t> scope;  // the count when the undoable scope began
    for (int step = 0; step < 300; ++step) {
      const std::string& value = values[pick(values.size())];
      switch (pick(8)) {
        case 0:
        case 1:
          ASSERT_TRUE(cas.put(value));
          expect_text(cas, "put");
          break;
        case 2:
          ASSERT_TRUE(cas.replace(pick(cas.count() + 2), as_bytes(value)));
          expect_text(cas, "replace");
          break;
        case 3:
          if (!scope) {
            scope = cas.count();
            cas.begin_undo();
          } else if (pick(2) == 0) {
            cas.end_undo();
            scope.reset();
          } else {
            cas.undo_replaced();
            cas.truncate(*scope);
            scope.reset();
            expect_text(cas, "rollback");
          }
          break;
        case 4:
          if (!scope) cas.truncate(pick(cas.count() + 1));
          expect_text(cas, "truncate");
          break;
        case 5:
          if (!scope && pick(4) == 0) {
            cas = must(CasStore::load_dev(root, cas.hashes_hex()));
            expect_text(cas, "load");
          } else if (!scope) {
            // Another handle's listing: the same names reordered, some gone.
            std::vector<std::string> listing = cas.hashes_hex();
            std::shuffle(listing.begin(), listing.end(), rng);
            listing.resize(pick(listing.size() + 1));
            ASSERT_TRUE(cas.follow_listing(listing));
            expect_text(cas, "follow a listing");
          }
          break;
        case 6: {
          expect_text(must(cas.copy_to_memory()), "copy to memory");
          const PackedPool packed = cas.pack();
          CasStore imported = CasStore::over_pool_copy(as_bytes(packed.pool));
          for (uint64_t i = 0; i < packed.directory.size(); ++i)
            ASSERT_TRUE(imported.put_listed_at(packed.directory[i].offset, packed.directory[i].length, cas.digest(i)));
          expect_text(imported, "import");
          break;
        }
        default:
          if (!scope) cas.truncate(0);
          expect_text(cas, "truncate to nothing");
          break;
      }
    }
  }
}

}  // namespace
}  // namespace qm::storage
