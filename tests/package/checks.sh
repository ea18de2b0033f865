# shellcheck shell=bash
# The check helpers of the package tests (sourced): one line per check, "ok" or
# "FAIL" with what the check printed; the details also go to $log when set.
failures=0
ok() { echo "ok    $*"; }
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}
# expect DESCRIPTION COMMAND...: ok when the command succeeds.
expect() {
    local what=$1 out
    shift
    if out=$("$@" 2>&1); then ok "$what"; else fail "$what${out:+: $(tr '\n' ' ' <<<"$out" | cut -c1-400)}"; fi
    if [ -n "${log:-}" ]; then printf '== %s: %s\n%s\n' "$what" "$*" "$out" >>"$log"; fi
}
# finish NAME: the summary line and the exit status.
finish() {
    echo "$1: $failures failed"
    [ $failures -eq 0 ]
}
