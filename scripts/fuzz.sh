#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 and runs each for a bounded time.
# usage: scripts/fuzz.sh [seconds-per-target, default 30] [target ...]
# QM_FUZZ_PARALLEL=1 runs the targets side by side, one per core at a time.
# New interesting inputs go to build/fuzz/work/<target>; a crash leaves its input in
# build/fuzz/artifacts and fails the run: add that input to tests/fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if ! command -v clang++-14 >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "ok installed"; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang-14 libclang-rt-14-dev
fi
seconds=${1:-30}
shift || true
build=build/fuzz
# -O1 with line tables only: the optimisation libFuzzer recommends, and stack traces with
# lines, at a fraction of the compile time of full debug information.
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
  -DQM_FUZZ=ON -DQM_BUILD_TESTS=OFF > /dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in tests/fuzz/*_fuzz.cc; do t=$(basename "$f" _fuzz.cc); targets+=("$t"); done
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_target() {
  local t=$1 work="$build/work/$1"
  mkdir -p "$work"
  if ! "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=65536 -artifact_prefix="$build/artifacts/${t}-" -print_final_stats=1 \
      "$work" "tests/fuzz/corpus/$t" 2> "$build/$t.log"; then
    echo "!! $t failed; see $build/$t.log and $build/artifacts"
    tail -40 "$build/$t.log"
    return 1
  fi
  echo "== $t: $(grep -E 'stat::number_of_executed_units' "$build/$t.log" | awk '{print $2}') executions in ${seconds}s"
}
status=0
if [ "${QM_FUZZ_PARALLEL:-0}" = 1 ]; then
  # One target per core at a time: each still gets its seconds of a whole core.
  running=0
  for t in "${targets[@]}"; do
    if [ "$running" -ge "$(nproc)" ]; then wait -n || status=1; running=$((running - 1)); fi
    run_target "$t" &
    running=$((running + 1))
  done
  while [ "$running" -gt 0 ]; do wait -n || status=1; running=$((running - 1)); done
else
  for t in "${targets[@]}"; do run_target "$t" || status=1; done
fi
exit $status
