#include "support/crash_harness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace qm::test {

bool kill_and_reap(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return true;
  ADD_FAILURE() << "child ended by itself with status " << status;
  return false;
}

std::vector<int64_t> run_then_kill(const std::function<void(int)>& child, useconds_t delay_us) {
  std::vector<int64_t> acks;
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return acks;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    child(fds[1]);
    _exit(1);  // a child that returns is a fault of the test
  }
  close(fds[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
  } else {
    usleep(delay_us);
    kill_and_reap(pid);
    int64_t v;
    while (read(fds[0], &v, sizeof v) == sizeof v) acks.push_back(v);
  }
  close(fds[0]);
  return acks;
}

FaultOutcome fail_nth_during(FaultyFs& fs, FaultyFs::Op op, uint64_t n, const std::function<Result<void>()>& act) {
  const uint64_t before = fs.calls(op);
  fs.fail_nth(op, n);
  auto done = act();
  FaultOutcome out{!done.has_value(), fs.calls(op) >= before + n};
  if (!done) {
    const auto kind = done.error().kind;
    EXPECT_TRUE(kind == ErrorKind::Io || kind == ErrorKind::TransactionOutcomeUnknown) << done.error().message();
  }
  return out;
}

void sweep_faults(std::initializer_list<FaultyFs::Op> ops, uint64_t limit, bool each_kind_fails,
                  const std::function<FaultOutcome(FaultyFs::Op, uint64_t)>& attempt) {
  for (FaultyFs::Op op : ops) {
    int failures = 0;
    for (uint64_t n = 1; n < limit; ++n) {
      SCOPED_TRACE("op " + std::to_string(static_cast<int>(op)) + " call " + std::to_string(n));
      const FaultOutcome out = attempt(op, n);
      failures += out.failed;
      if (!out.reached || ::testing::Test::HasFailure()) break;
    }
    if (each_kind_fails) EXPECT_GT(failures, 0) << "op " << static_cast<int>(op) << " never failed";
  }
}

}  // namespace qm::test
