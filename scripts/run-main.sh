#!/usr/bin/env bash
# The main job: build, open a trace viewer, and run the component's start-up
# so that the viewer prints its trace.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset posix >/dev/null
cmake --build --preset posix -j "$(nproc)" --target snagtrap velqosch-startup
bin=build/posix
session=$(mktemp -d)
export XDG_RUNTIME_DIR="$session"
"$bin/tools/snagtrap/snagtrap" --ready-file "$session/ready" &
viewer=$!
trap 'kill "$viewer" 2>/dev/null; wait "$viewer" 2>/dev/null; rm -rf "$session"' EXIT
for _ in $(seq 100); do [ -e "$session/ready" ] && break; sleep 0.05; done
"$bin/tools/startup/velqosch-startup"
sleep 0.2
