#!/usr/bin/env bash
# Every test: the POSIX tests plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
status=0
for preset in posix posix-asan; do
  echo "=== $preset: configure, build, test"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" --output-on-failure || status=1
done
for preset in win32 win64; do
  echo "=== $preset: configure, build"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs" || status=1
done
exit $status
