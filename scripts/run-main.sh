#!/usr/bin/env bash
# The main job: build the component and the vtask client, register the
# component (libvelqosch.so, in the runtime's per-user registry), and run a
# short vtask session on the default task store: add a weekly task, show it
# with its next runs, list every task. The "Schedule" daemon is started by
# the component on first use and keeps running; `vtask delete "Velqo Weekly
# Report"` removes the task again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset posix >/dev/null
cmake --build --preset posix -j "$(nproc)" --target vtask velqosch velqo-regsvr velqosvc
bin=build/posix
run() {
    printf '\n$'
    printf ' %q' "$@"
    printf '\n'
    "$@"
}
run "$bin/platform/velqo-regsvr" "$bin/platform/libvelqosch.so"
vtask=$bin/tools/vtask/vtask
name="Velqo Weekly Report"
# A task of that name from an earlier run is replaced.
"$vtask" delete "$name" >/dev/null 2>&1 || true
run "$vtask" add "$name" --app /bin/echo --params "weekly report" --dir /tmp \
    --comment "added by scripts/run-main.sh" --creator "$(id -un)"
run "$vtask" trigger add "$name" --weekly 1 --days mon,fri --at 09:30 --from today
run "$vtask" show "$name"
run "$vtask" list
