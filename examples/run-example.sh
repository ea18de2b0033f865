#!/bin/sh
# run-example.sh REGSVR COMPONENT DAEMON PROGRAM: runs one C++ example against
# the component registered in a registry and a Windows directory of its own,
# and checks that it ends with "done". The service that the example starts is
# stopped again.
set -u
dir=$(mktemp -d /tmp/velqosch-example-XXXXXX) || exit 1
cleanup() {
    pid=$(cat "$dir/windows/Tasks/.service/daemon.lock" 2>/dev/null)
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
mkdir "$dir/registry" "$dir/run"
export VELQOSCH_WINDIR="$dir/windows" VELQOSCH_REGISTRY="$dir/registry" VELQOSCH_SERVICE="$3" XDG_RUNTIME_DIR="$dir/run"
"$1" "$2" >/dev/null || { echo "registration failed"; exit 1; }
"$4" >"$dir/out" 2>&1
code=$?
cat "$dir/out"
[ "$code" = 0 ] && [ "$(tail -n 1 "$dir/out")" = done ]
