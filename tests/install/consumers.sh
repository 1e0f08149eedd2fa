#!/usr/bin/env bash
# usage: consumers.sh BUILD_DIR [C_FLAGS]
# Installs the build to a temporary prefix, then configures, builds and runs the consumer
# project against it through pkg-config and through find_package. C_FLAGS are the
# sanitizer flags of a sanitizer build, which its consumers need too.
set -euo pipefail
build=$1
flags=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" > /dev/null
pc=$(dirname "$(find "$tmp/prefix" -name quilmarr.pc)")
for way in pkg-config find_package; do
  use_pc=OFF
  [ "$way" = pkg-config ] && use_pc=ON
  PKG_CONFIG_PATH="$pc" cmake -S "$here/consumer" -B "$tmp/$way" -G Ninja -DQM_USE_PKG_CONFIG=$use_pc \
    -DCMAKE_PREFIX_PATH="$tmp/prefix" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" > "$tmp/$way.log" \
    || { cat "$tmp/$way.log"; exit 1; }
  cmake --build "$tmp/$way" > "$tmp/$way.build.log" || { cat "$tmp/$way.build.log"; exit 1; }
  echo "$way: $("$tmp/$way/consumer")"
done
