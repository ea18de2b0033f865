#!/usr/bin/env bash
# Line coverage of the code outside tests/: builds the coverage preset, runs its
# tests and prints gcovr's summary of every source under collection/, component/, globals/,
# platform/, scheduler/, service/, tasks/, tools/, trace/ and triggers/.
#
#   scripts/coverage.sh [--html DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
command -v gcovr >/dev/null || { scripts/setup.sh; }
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)"
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -j "$(nproc)" || echo "coverage: some tests failed; the figure counts what ran" >&2
args=(--root . --object-directory build/coverage
      --filter '^(collection|component|globals|platform|scheduler|service|tasks|tools|trace|triggers)/'
      --exclude-unreachable-branches --gcov-ignore-parse-errors --print-summary)
if [ "${1:-}" = --html ]; then args+=(--html-details "${2:?}/index.html"); mkdir -p "$2"; fi
gcovr "${args[@]}" -o build/coverage/coverage.txt | grep -E '^(lines|functions):'
