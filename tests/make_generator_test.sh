#!/usr/bin/env bash
# The README's commands in turn on one build directory: the first may configure it before ninja
# is installed (so for Make), the next runs with ninja present and must keep that generator.
set -euo pipefail
src=$1
dir=$(mktemp -d /tmp/vuxgen.XXXXXX)
trap 'rm -rf "$dir"' EXIT
cd "$src"
make -s configure BUILD_DIR="$dir/b" GENERATOR='Unix Makefiles' >"$dir/first.log" 2>&1 ||
  { cat "$dir/first.log"; exit 1; }
make -s configure BUILD_DIR="$dir/b" >"$dir/second.log" 2>&1 || { cat "$dir/second.log"; exit 1; }
grep -qx 'CMAKE_GENERATOR:INTERNAL=Unix Makefiles' "$dir/b/CMakeCache.txt" ||
  { echo "the build directory's generator changed"; exit 1; }
# A new directory takes Ninja, which scripts/deps installs.
make -s configure BUILD_DIR="$dir/n" >"$dir/third.log" 2>&1 || { cat "$dir/third.log"; exit 1; }
grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/n/CMakeCache.txt" || { echo "a new directory is not Ninja"; exit 1; }
echo "generator kept"
