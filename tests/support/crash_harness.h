// Harnesses of the durability tests: a child process killed while it writes, and a failure
// injected at each call of a kind in turn. They own the fork/kill/reap and the sweep; the
// tests own what must hold afterwards.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "core/expected.h"
#include "support/faulty_fs.h"

namespace qm::test {

// Forks a child that runs `child(ack_fd)`: it writes one int64_t to ack_fd per acknowledged
// write and never returns. Kills it with SIGKILL after `delay_us` and returns what it
// acknowledged, in order. A child that ended by itself fails the calling test.
std::vector<int64_t> run_then_kill(const std::function<void(int ack_fd)>& child, useconds_t delay_us);

// SIGKILLs a process and reaps it; false (and a test failure) when it had already ended.
bool kill_and_reap(pid_t pid);

struct FaultOutcome {
  bool failed = false;   // the operation reported an error
  bool reached = false;  // the armed call was made at all
};

// Arms the n-th call of `op` from now to fail, runs `act`, and says what came of it. A
// reported failure must be an i/o error or an unknown outcome.
FaultOutcome fail_nth_during(FaultyFs& fs, FaultyFs::Op op, uint64_t n, const std::function<Result<void>()>& act);

// For each kind, runs `attempt(op, n)` for n = 1, 2, ... below `limit` until the n-th call is
// no longer reached or a test failure was recorded. With `each_kind_fails`, every kind must
// have failed at least one attempt.
void sweep_faults(std::initializer_list<FaultyFs::Op> ops, uint64_t limit, bool each_kind_fails,
                  const std::function<FaultOutcome(FaultyFs::Op, uint64_t)>& attempt);

}  // namespace qm::test
