#!/usr/bin/env bash
# Every test: the POSIX tests plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of the fuzz target, the Windows builds with their tests under
# Wine (scripts/wine-tests.sh; a build this machine's Wine cannot run is
# skipped with a message), then the Debian package and the Windows archive.
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
# The fuzz target, built with clang and run for a short while over its corpus:
# a target that no longer builds, or an input that breaks the reader, fails the run.
echo "=== fuzz: build, then 30 s over the corpus"
cmake --preset fuzz
if cmake --build --preset fuzz -j "$jobs" --target jobfile_fuzz; then
  found=$(mktemp -d)
  if ! build/fuzz/fuzz/jobfile_fuzz -max_total_time=30 -artifact_prefix=build/fuzz/ "$found" fuzz/corpus/jobfile \
      >build/fuzz/fuzz.log 2>&1; then
    tail -40 build/fuzz/fuzz.log
    status=1
  fi
  echo "fuzz: $(grep -Eo 'Done [0-9]+ runs' build/fuzz/fuzz.log || echo 'no summary')"
  rm -rf "$found"
else
  status=1
fi
windows_builds=()
for preset in win32 win64; do
  echo "=== $preset: configure, build"
  cmake --preset "$preset"
  if cmake --build --preset "$preset" -j "$jobs"; then
    windows_builds+=("build/$preset")
  else
    status=1
  fi
done
if [ ${#windows_builds[@]} -gt 0 ]; then
  echo "=== Wine: ${windows_builds[*]}"
  scripts/wine-tests.sh "${windows_builds[@]}" || status=1
fi

# Installed software: the Debian package, built, installed, used and purged on
# this machine (tests/package/package_test.sh; details in
# build/package/package-test.log), and the Windows release archive's content.
echo "=== package: the Debian package and the Windows archive"
tests/package/package_test.sh || status=1
if [ ${#windows_builds[@]} -eq 2 ]; then
  tests/package/windows_archive_test.sh build/win32 build/win64 || status=1
else
  echo "windows archive: not checked (a Windows build failed)"
fi
exit $status
