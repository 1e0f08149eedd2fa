// Fault injection at every file-system call of a logged transaction (begin, page writes,
// commit) and of recovery, each with and without a simulated power loss afterwards: after
// recovery the workspace holds exactly the last acknowledged commit, or the one in flight
// when its outcome was reported unknown, and never a mixture. In-memory file system; the
// whole sweep runs in well under a second per call kind.
#include <gtest/gtest.h>

#include <tuple>

#include "journal/change_record.h"
#include "journal/feed.h"
#include "journal/files.h"
#include "journal/inventory.h"
#include "journal/journal_docs.h"
#include "journal/journal_fixture.h"
#include "support/faulty_fs.h"
#include "support/result_text.h"

namespace qm::journal {
namespace {

using qm::test::FaultyFs;
using namespace test;
using Op = FaultyFs::Op;

constexpr Op kOps[] = {Op::Open, Op::Read, Op::Write, Op::Sync, Op::SyncDir, Op::Rename,
                       Op::Unlink, Op::Mkdir, Op::Rmdir, Op::Stat, Op::List, Op::Size};
const std::map<uint64_t, char> kWrites = {{0, 'X'}, {2, 'Y'}, {4, 'N'}};

// The workspace after one acknowledged commit (page 1 = 'B'), everything durable.
std::unique_ptr<Workspace> committed_once(FaultyFs& ffs) {
  auto ws = std::make_unique<Workspace>("/ws");
  EXPECT_TRUE(ws->commit({{1, 'B'}}));
  EXPECT_TRUE(ffs.sync_dir("/"));
  EXPECT_TRUE(ffs.sync_dir("/ws"));
  return ws;
}

// After recovery: no journal directories, and either commit 1 or commit 2 whole.
void expect_whole_state(bool allow_head_1, bool allow_head_2, const std::string& where) {
  SCOPED_TRACE(where);
  for (const char* gone : {"active", "preparing", "discarded"})
    EXPECT_FALSE(must(present(std::string("/ws/.qm-log/") + gone)));
  auto h = must(head("/ws"));
  EXPECT_TRUE((h == 1 && allow_head_1) || (h == 2 && allow_head_2)) << "head " << h;
  const bool second = h == 2;
  auto meta = must(read_manifest_meta(*read_bounded("/ws/qm_manifest.json", 1 << 20)));
  EXPECT_EQ(meta.clock, second ? 3u : 2u);
  EXPECT_EQ(meta.page_count, second ? 5u : 3u);
  EXPECT_EQ(chunk_page("/ws", 0), page_of(second ? 'X' : 'a'));
  EXPECT_EQ(chunk_page("/ws", 1), page_of('B'));
  EXPECT_EQ(chunk_page("/ws", 2), page_of(second ? 'Y' : 'c'));
  if (second) {
    auto c = must(decode_change(*read_checked("/ws/.qm-log/" + sequence_name(2) + "/change")));
    for (const auto& p : c.pages) EXPECT_EQ(p.bytes, chunk_page("/ws", p.page_id)) << p.page_id;
  }
}

// For every call of `op` that `act` makes over the workspace `prepare` builds: that call
// fails, then (with or without a power loss) `check` judges what `act` returned.
template <class Prepare, class Act, class Check>
void sweep(Op op, Prepare prepare, Act act, Check check) {
  uint64_t calls = 0;
  {
    FaultyFs ffs;
    fs::ScopedFileSystem scoped(ffs);
    auto ws = prepare(ffs);
    const uint64_t before = ffs.calls(op);
    ASSERT_TRUE(act(*ws));
    calls = ffs.calls(op) - before;
  }
  for (uint64_t n = 1; n <= calls; ++n) {
    for (bool power_loss : {false, true}) {
      FaultyFs ffs;
      fs::ScopedFileSystem scoped(ffs);
      auto ws = prepare(ffs);
      ffs.fail_nth(op, n);
      auto r = act(*ws);
      if (power_loss) ffs.power_loss();
      ffs.clear_faults();
      check(r, "op " + std::to_string(static_cast<int>(op)) + " call " + std::to_string(n) +
                   (power_loss ? " + power loss" : "") + ": " + (r ? "ok" : r.error().message()));
    }
  }
}

TEST(FaultInjection, ALoggedTransactionIsAllOrNothingAtEveryFailingCall) {
  for (Op op : kOps) {
    sweep(op, committed_once, [](Workspace& ws) { return ws.commit(kWrites); },
          [](const Result<void>& r, const std::string& where) {
            auto recovered = recover("/ws");
            ASSERT_TRUE(recovered) << where << " / " << recovered.error().message();
            const bool unknown = !r && r.error().kind == ErrorKind::TransactionOutcomeUnknown;
            expect_whole_state(!r, r.has_value() || unknown, where);
          });
  }
}

TEST(FaultInjection, RecoveryCanBeInterruptedAnywhereAndRunAgain) {
  auto crashed = [](FaultyFs& ffs) {
    auto ws = committed_once(ffs);
    EXPECT_TRUE(begin_journal(ws->store(), {}));
    for (auto [id, fill] : kWrites) EXPECT_TRUE(ws->write_page(id, fill));
    EXPECT_TRUE(ws->store().sync_data());
    EXPECT_TRUE(ws->write_manifest(2));  // the final flush ran; the commit never did
    return ws;
  };
  for (Op op : kOps) {
    sweep(op, crashed, [](Workspace&) { return recover("/ws"); },
          [](const Result<void>&, const std::string& where) {
            auto again = recover("/ws");
            ASSERT_TRUE(again) << where << " / " << again.error().message();
            expect_whole_state(true, false, where);
          });
  }
}

// A stat that fails once (EIO) at any existence check of a begin, a prune, a status or the
// recovery of an interrupted transaction is an i/o error, never taken for lost history; the
// workspace is then recovered and read as before.
TEST(FaultInjection, APassingStatFailureIsAnIoErrorNotDamage) {
  auto twice = [](FaultyFs& ffs) {
    auto ws = committed_once(ffs);
    EXPECT_TRUE(ws->commit({{0, 'Z'}}));
    return ws;
  };
  auto crashed = [](FaultyFs& ffs) {
    auto ws = committed_once(ffs);
    EXPECT_TRUE(begin_journal(ws->store(), {}));
    EXPECT_TRUE(ws->write_page(0, 'X'));
    return ws;
  };
  using Prepare = std::unique_ptr<Workspace> (*)(FaultyFs&);
  using Act = Result<void> (*)(Workspace&);
  const std::tuple<const char*, Prepare, Act> cases[] = {
      {"begin", committed_once, [](Workspace& ws) { return ws.commit(kWrites); }},
      {"prune", twice, [](Workspace&) { return prune("/ws", 1); }},
      {"status", twice, [](Workspace&) -> Result<void> { QM_TRY(status("/ws", {})); return {}; }},
      {"recovery", crashed, [](Workspace&) { return recover("/ws"); }},
  };
  for (const auto& [name, prepare, act] : cases) {
    sweep(Op::Stat, prepare, act, [&](const Result<void>& r, const std::string& where) {
      EXPECT_TRUE(r || r.error().kind != ErrorKind::Corruption) << name << " " << where;
      auto recovered = recover("/ws");
      ASSERT_TRUE(recovered) << name << " " << where << " / " << recovered.error().message();
      EXPECT_TRUE(head("/ws")) << name << " " << where;
    });
  }
}

}  // namespace
}  // namespace qm::journal
