#!/usr/bin/env bash
# Installs what is missing, builds the release library with the benchmarks and runs the
# comparison with SQLite. Arguments go to the program, e.g. `--scale 10` for a tenth of the
# rows or `--mode memory`; the Markdown table goes to standard output, progress to stderr.
# Then the memory and disk footprint of one indexed table (bench/footprint.cc).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${QM_BENCH_BUILD_DIR:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=ON >&2
cmake --build "$build" -j"$(nproc)" --target vs_sqlite footprint >&2
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" >&2
"$build/bench/vs_sqlite" "$@"
"$build/bench/footprint"
