#!/usr/bin/env bash
# Installs what is missing, builds the release library and runs the C quickstart example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${QM_RELEASE_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target quilmarr quickstart
"$build/examples/quickstart"
