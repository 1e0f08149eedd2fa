#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Skips apt entirely when everything is already present, so repeated runs are fast.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  librust-blake3-dev b3sum
  libsodium-dev libargon2-dev nlohmann-json3-dev libicu-dev
  googletest libgtest-dev libbenchmark-dev libsqlite3-dev sqlite3
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq || true
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
