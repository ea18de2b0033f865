#!/usr/bin/env bash
# The Windows builds under Wine. For each build directory: a fresh Wine prefix
# with the Schedule service running, then the suites of the table below, in
# order, each recorded as PASS, FAIL or SKIP in the closing summary.
#
#   scripts/wine-tests.sh BUILD_DIR [BUILD_DIR...]
#
# A build that this machine cannot run (a 32-bit build where the 32-bit Wine
# loader does not start) is skipped with one line saying why. Exit status: 0
# when every suite that ran passed, 1 otherwise.
set -uo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 BUILD_DIR [BUILD_DIR...]" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
surface="$source_dir/component/surface.inc"
step_timeout=${VELQO_WINE_TIMEOUT:-300}
posix=${VELQO_POSIX_BUILD:-$source_dir/build/posix}

# The suites of a build, in order: KIND | NAME in the summary | ARGUMENTS (words and globs). Paths are
# relative to the build directory, or to the source directory when they start with "src:".
suites() {
    cat <<'TABLE'
gtest      | -                      | tests/runtime/*.exe tests/globals/*.exe tests/trace/*.exe tests/surface/*.exe tests/vtask/*.exe
register   | regsvr32               | -
script     | scheduler.vbs          | src:tests/wine/scheduler.vbs
script     | scheduler.js           | src:tests/wine/scheduler.js
example    | -                      | src:examples/*.vbs src:examples/*.js
to_wine    | job from POSIX to Wine | src:tests/wine/scheduler.vbs
from_wine  | job from Wine to POSIX | src:tests/wine/scheduler.vbs
vtask_exe  | vtask.exe              | tools/vtask/vtask.exe
client     | end_to_end             | tests/wine/end_to_end.exe
client     | typelib_check          | tests/wine/typelib_check.exe
unregister | regsvr32 /u            | -
TABLE
}

summary=()
failures=0
record() {  # record BUILD SUITE PASS|FAIL|SKIP [detail]
    summary+=("$(printf '%-6s %-10s %-28s %s' "$3" "$1" "$2" "${4:-}")")
    if [ "$3" = FAIL ]; then failures=$((failures + 1)); fi
}

# The identities the registration must write, read from the surface table.
mapfile -t classes < <(sed -nE 's/^VQ_COCLASS\(([A-Za-z]+), "([0-9A-Fa-f-]{36})".*/\1 \2/p' "$surface")
mapfile -t iids < <(sed -nE 's/^VQ_(INTERFACE_BEGIN|ALIAS)\([A-Za-z0-9_]+, ([A-Za-z0-9_]+, )?"([0-9A-Fa-f-]{36})".*/\3/p' \
    "$surface")
read -r libname libid libversion < <(sed -nE \
    's/^VQ_LIBRARY\(([A-Za-z]+), "([0-9A-Fa-f-]{36})", ([0-9]+), ([0-9]+),.*/\1 \2 \3.\4/p' "$surface")
if [ ${#classes[@]} -ne 5 ] || [ ${#iids[@]} -ne 6 ] || [ -z "${libid:-}" ]; then
    echo "wine-tests: cannot read the identities from $surface" >&2
    exit 1
fi

# The Wine loader of each pointer size. /usr/bin/wine (and the wineboot,
# winepath, reg ... wrappers that call it) picks the 32-bit loader whenever
# wine32 is installed, so every step goes through the loader chosen here.
wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64
loader=$wine64_loader
w() { timeout "$step_timeout" "$loader" "$@"; }
winpath() { w winepath.exe -w "$1" 2>/dev/null | tr -d '\r'; }
path_of() { [ "${1#src:}" != "$1" ] && echo "$source_dir/${1#src:}" || echo "$1"; }

# Can this machine run a build of the given pointer size? Decided by starting
# the loader: a kernel without 32-bit support refuses the 32-bit one.
wine_can_run() {
    local l=$wine64_loader out
    [ "$1" = 4 ] && l=$wine32_loader
    if [ ! -x "$l" ]; then
        if [ "$1" = 4 ]; then echo "32-bit Wine (wine32:i386) is not installed: scripts/setup.sh installs it only where the kernel runs 32-bit programs"
        else echo "64-bit Wine (the Debian package wine64) is not installed"; fi
        return 1
    fi
    if ! out=$("$l" --version 2>&1); then
        echo "the $((8 * $1))-bit Wine loader does not start on this machine (${out##*: })"
        return 1
    fi
}

# ---- The registry -------------------------------------------------------------------------------------

registry_keys() {  # the keys of the registration, one per line
    local c name clsid
    for c in "${classes[@]}"; do
        read -r name clsid <<<"$c"
        echo "HKCR\\CLSID\\{$clsid}"
        echo "HKCR\\$libname.$name"
    done
    for iid in "${iids[@]}"; do echo "HKCR\\Interface\\{$iid}"; done
    echo "HKCR\\TypeLib\\{$libid}"
}

registry_dump() {  # every value under every key of the registration
    local key
    registry_keys | while read -r key; do
        echo "== $key"
        w reg query "$key" /s 2>&1 | tr -d '\r' | sed '/^$/d'
    done
}

# Checks a dump (stdin) against the registration the DLL must write; prints each wrong entry.
check_registration() {  # check_registration DLL_WINDOWS_PATH < DUMP
    awk -v dll="$(basename "${1//\\//}")" -v lib="$libname" -v libid="{$libid}" -v libver="$libversion" \
        -v classes="$(printf '%s;' "${classes[@]}")" -v iids="$(printf '%s;' "${iids[@]}")" '
        function want(key, name, expected, how,   got) {
            key = toupper(key); name = toupper(name)
            label = key " [" (name == "" ? "(Default)" : name) "]"
            if (!((key, name) in value)) { print "missing: " label; bad = 1; return }
            got = value[key, name]
            if (how == "any") return
            if (how == "contains" ? index(toupper(got), toupper(expected)) == 0 : toupper(got) != toupper(expected)) {
                print label " = \"" got "\", expected " (how == "" ? "" : how " ") "\"" expected "\""; bad = 1
            }
        }
        /^HKEY_CLASSES_ROOT\\/ { key = toupper("HKCR" substr($0, 18)); keys[key] = 1; next }
        /^ +[^ ]/ { line = $0; sub(/^ +/, "", line); n = split(line, f, "    ")
                    name = f[1] == "(Default)" ? "" : f[1]; data = n >= 3 ? f[3] : ""
                    for (i = 4; i <= n; i++) data = data "    " f[i]
                    value[key, toupper(name)] = data }
        END {
            nc = split(classes, c, ";")
            for (i = 1; i < nc; i++) {
                split(c[i], p, " "); k = "HKCR\\CLSID\\{" p[2] "}"
                want(k "\\InprocServer32", "", dll, "contains")
                want(k "\\InprocServer32", "ThreadingModel", "Apartment")
                want(k "\\ProgID", "", lib "." p[1])
                want(k "\\TypeLib", "", libid)
                want("HKCR\\" lib "." p[1] "\\CLSID", "", "{" p[2] "}")
            }
            ni = split(iids, d, ";")
            for (i = 1; i < ni; i++) {
                k = "HKCR\\Interface\\{" d[i] "}"
                want(k, "", "", "any")
                want(k "\\ProxyStubClsid32", "", "{00020424-0000-0000-C000-000000000046}")
                want(k "\\TypeLib", "", libid)
            }
            k = toupper("HKCR\\TypeLib\\" libid "\\" libver "\\0\\win")
            if (!((k "32") in keys) && !((k "64") in keys)) { print "missing: HKCR\\TypeLib\\" libid "\\" libver "\\0\\win32|win64"; bad = 1 }
            exit bad
        }'
}

check_unregistered() {  # prints each key of the registration still present
    local key bad=0
    while read -r key; do
        if w reg query "$key" >/dev/null 2>&1; then
            echo "still present: $key"
            bad=1
        fi
    done < <(registry_keys)
    return $bad
}

# ---- The suites: suite_KIND NAME ARGUMENT... (run inside the build directory, the prefix ready) --------

suite_gtest() {  # the plain test programs of the build, one suite each
    local t name rc
    for t in "${@:2}"; do
        [ -f "$t" ] || continue
        name=$(basename "$t" .exe)
        echo "--- $tag: $name"
        w "$t" --gtest_brief=1 2>&1 | tr -d '\r' | tee "$prefix/$name.log" | grep -vE '^(Running main|\[ +(OK|RUN) +\])'
        rc=${PIPESTATUS[0]}
        if [ "$rc" = 0 ]; then record "$tag" "$name" PASS; else
            record "$tag" "$name" FAIL "$(grep -c '^\[  FAILED  \] [A-Za-z]' "$prefix/$name.log") failed, exit $rc"
        fi
    done
}

suite_client() {  # a compiled client of the registered DLL, given the DLL's and the type library's paths
    local rc
    [ -f "$2" ] || { record "$tag" "$1" FAIL "not built"; return; }
    w "$2" --gtest_brief=1 "$wdll" "$wtlb" 2>&1 | tr -d '\r' | tee "$prefix/$1.log" |
        grep -vE '^(Running main|\[ +(OK|RUN) +\])'
    rc=${PIPESTATUS[0]}
    if [ "$rc" = 0 ]; then record "$tag" "$1" PASS; else record "$tag" "$1" FAIL "exit $rc"; fi
}

# Registration, checked, then done again: the second leaves the same single set. reg.exe is a process
# of its own: a check that fails is made again (twice at most) before the entries count as wrong.
suite_register() {
    local try out
    if ! w regsvr32 /s "$wdll" >/dev/null 2>&1; then
        record "$tag" "$1" FAIL "DllRegisterServer failed"
        return
    fi
    for try in 1 2 3; do
        registry_dump >"$prefix/reg1.txt"
        out=$(check_registration "$wdll" <"$prefix/reg1.txt") && break
        printf 'registration check, try %s:\n%s\n' "$try" "$out"
        sleep 2
    done
    if [ -n "$out" ]; then
        record "$tag" "$1" FAIL "$(head -n1 <<<"$out") ($(wc -l <<<"$out") wrong)"
    else
        record "$tag" "$1" PASS "$([ "$try" = 1 ] || echo "right at try $try")"
    fi
    if w regsvr32 /s "$wdll" >/dev/null 2>&1 && registry_dump >"$prefix/reg2.txt" &&
        diff -u "$prefix/reg1.txt" "$prefix/reg2.txt"; then
        record "$tag" "$1 twice" PASS
    else
        record "$tag" "$1 twice" FAIL "second registration differs (above) or failed"
    fi
}

suite_unregister() {
    local out
    if ! w regsvr32 /u /s "$wdll" >/dev/null 2>&1; then
        record "$tag" "$1" FAIL "DllUnregisterServer failed"
    elif out=$(check_unregistered); then
        record "$tag" "$1" PASS
    else
        echo "$out"
        record "$tag" "$1" FAIL "keys left (above)"
    fi
}

# A script suite prints one PASS or FAIL line per check, then "N passed, M failed", and exits with M.
# Wine's script host reports an unhandled script error nowhere and exits with 0: only a run that reached
# the closing count line has run every check.
run_script() {  # run_script NAME SCRIPT [ARGUMENT...]
    local log=$prefix/$1.log rc passed
    w cscript //nologo "$(winpath "$(path_of "$2")")" "${@:3}" 2>&1 | tr -d '\r' | tee "$log" | grep -v '^PASS'
    rc=${PIPESTATUS[0]}
    passed=$(grep -c '^PASS' "$log")
    if ! grep -qE '^[0-9]+ passed, [0-9]+ failed$' "$log"; then
        record "$tag" "$1" FAIL "the script stopped early (an unhandled error after $passed checks)"
    elif [ "$rc" = 0 ]; then
        record "$tag" "$1" PASS "$passed checks"
    else
        record "$tag" "$1" FAIL "$rc failed, $passed passed"
    fi
}
suite_script() { run_script "$1" "$2"; }

suite_example() {  # each example runs to its closing "done" line
    local pattern script rc
    for pattern in "${@:2}"; do
        pattern=$(path_of "$pattern")
        for script in "${pattern%/*}"/${pattern##*/}; do
            echo "--- $tag: examples/${script##*/}"
            w cscript //nologo "$(winpath "$script")" 2>&1 | tr -d '\r' | tee "$prefix/example.log"
            rc=${PIPESTATUS[0]}
            if [ "$(tail -n 1 "$prefix/example.log")" = "done" ]; then record "$tag" "examples/${script##*/}" PASS; else
                record "$tag" "examples/${script##*/}" FAIL "did not reach its closing 'done' line (exit $rc)"
            fi
        done
    done
}

# ---- The .job interchange with the POSIX service (its build: $VELQO_POSIX_BUILD, default build/posix) --

posix_vtask() {
    VELQOSCH_WINDIR=$store/windows VELQOSCH_REGISTRY=$store/registry XDG_RUNTIME_DIR=$store \
        "$posix/tools/vtask/vtask" "$@"
}
posix_ready() {  # registers the POSIX component in the prefix's own POSIX store, once
    [ -x "$posix/tools/vtask/vtask" ] && [ -f "$posix/platform/libvelqosch.so" ] || return 1
    [ -d "$store/registry" ] || VELQOSCH_REGISTRY=$store/registry "$posix/platform/velqo-regsvr" -s \
        "$posix/platform/libvelqosch.so"
}
stop_posix_service() {
    local pid
    pid=$(head -n1 "$store/windows/Tasks/.service/daemon.lock" 2>/dev/null | tr -dc 0-9)
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    return 0
}
# The prefix's Tasks folder: Wine spells it "tasks", so it is found in any case.
wine_tasks_folder() {
    local found
    found=$(find "$WINEPREFIX/drive_c/windows" -maxdepth 1 -iname tasks -type d | head -n1)
    echo "${found:-$WINEPREFIX/drive_c/windows/tasks}"
}

# A work item that vtask writes on POSIX is read here through the component and Wine's service.
suite_to_wine() {
    posix_ready || { record "$tag" "$1" SKIP "no POSIX build with vtask at $posix"; return; }
    echo "--- $tag: .job interchange, POSIX to Wine"
    if posix_vtask add "From Posix" --app 'C:\windows\system32\notepad.exe' --params interchange.txt \
        --dir 'C:\windows\temp' --comment "moved between services" --creator "velqo interchange" \
        --max-run-time 5400000 --flags hidden &&
        posix_vtask trigger add "From Posix" --weekly 2 --days mon,wed --at 14:35 --from 2027-01-04 >/dev/null; then
        cp "$store/windows/Tasks/From Posix.job" "$wine_tasks/"
        run_script "$1" "$2" check "From Posix"
    else
        record "$tag" "$1" FAIL "vtask could not write the job on POSIX"
    fi
    stop_posix_service
}

# One written here through the component is read by vtask on POSIX.
suite_from_wine() {
    local out bad=0 field want got
    posix_ready || { record "$tag" "$1" SKIP "no POSIX build with vtask at $posix"; return; }
    echo "--- $tag: .job interchange, Wine to POSIX"
    w cscript //nologo "$(winpath "$(path_of "$2")")" write "From Wine" 2>&1 | tr -d '\r' | grep -v '^PASS'
    if ! { [ -f "$wine_tasks/From Wine.job" ] && cp "$wine_tasks/From Wine.job" "$store/windows/Tasks/" &&
        out=$(posix_vtask show "From Wine" 2>&1); }; then
        echo "${out:-}"
        record "$tag" "$1" FAIL "no job file from Wine's service, or vtask could not read it"
        stop_posix_service
        return
    fi
    while IFS='|' read -r field want; do
        got=$(sed -nE "s/^$field: +//p" <<<"$out" | head -n1)
        [ "$got" = "$want" ] || { echo "$field: '$got', expected '$want'"; bad=1; }
    done <<'EXPECTED'
Application|C:\windows\system32\notepad.exe
Parameters|interchange.txt
Working directory|C:\windows\temp
Comment|moved between services
Creator|velqo interchange
Max run time|1:30:00
Flags|hidden
Triggers|1
EXPECTED
    grep -qF "At 2:35 PM every Mon, Wed of every 2 weeks, starting 1/4/2027" <<<"$out" ||
        { printf 'trigger text missing in:\n%s\n' "$out"; bad=1; }
    if [ $bad = 0 ]; then record "$tag" "$1" PASS; else record "$tag" "$1" FAIL "see above"; fi
    stop_posix_service
}

# vtask.exe, late-bound by ProgID as on POSIX, shows and lists a daily work item that vtask wrote on
# POSIX. Wine's own next-run computation does not return for the weekly items of the interchange (every
# 2 weeks), so they leave Wine's store first.
suite_vtask_exe() {
    local out
    [ -f "$2" ] || return 0
    posix_ready || { record "$tag" "$1" SKIP "no POSIX build with vtask at $posix"; return; }
    echo "--- $tag: vtask.exe"
    find "$wine_tasks" -maxdepth 1 -name '*.job' -delete
    if ! { posix_vtask add "Daily Notes" --app 'C:\windows\system32\notepad.exe' --comment "written on POSIX" &&
        posix_vtask trigger add "Daily Notes" --daily 1 --at 09:30 --from 2027-01-04 >/dev/null; }; then
        record "$tag" "$1" FAIL "vtask could not write the job on POSIX"
        return
    fi
    stop_posix_service
    cp "$store/windows/Tasks/Daily Notes.job" "$wine_tasks/"
    out=$(w "$2" show "Daily Notes" 2>&1 | tr -d '\r')
    if grep -qE '^Comment: +written on POSIX$' <<<"$out" && grep -qE "every (1 )?day at 09:30" <<<"$out" &&
        grep -qE "^Next run: +2027-01-04 09:30$" <<<"$out" && w "$2" list 2>&1 | tr -d '\r' | grep -qF "Daily Notes"; then
        record "$tag" "$1" PASS "show and list"
    else
        echo "$out"
        record "$tag" "$1" FAIL "show or list failed (above)"
    fi
}

# ---- A build ------------------------------------------------------------------------------------------

current_prefix=""
cleanup_prefix() {
    if [ -n "$current_prefix" ]; then
        WINEPREFIX="$current_prefix/prefix" wineserver -k >/dev/null 2>&1
        rm -rf "$current_prefix"
        current_prefix=""
    fi
}
trap cleanup_prefix EXIT

# A fresh prefix with the Schedule service running. Right after wineboot the service database may still
# be locked: net start is tried again until the service reports that it runs.
make_prefix() {  # make_prefix ARCH
    prefix=$(mktemp -d "${TMPDIR:-/tmp}/velqo-wine.XXXXXX")
    current_prefix=$prefix store=$prefix/posix
    export WINEPREFIX="$prefix/prefix" WINEARCH=$1 WINEDEBUG=-all WINELOADER=$loader
    echo "=== $tag: Wine prefix ($1) under $prefix"
    if ! w wineboot.exe -i >"$prefix/wineboot.log" 2>&1; then
        cat "$prefix/wineboot.log"
        record "$tag" "wine prefix" FAIL "wineboot -i failed"
        return 1
    fi
    for _ in $(seq 30); do
        if w sc query Schedule 2>/dev/null | tr -d '\r' | grep -qE 'STATE +: +4 +RUNNING'; then
            record "$tag" "Schedule service" PASS
            wine_tasks=$(wine_tasks_folder)
            mkdir -p "$wine_tasks" "$store"
            return 0
        fi
        w net start Schedule >>"$prefix/net.log" 2>&1
        sleep 1
    done
    cat "$prefix/net.log"
    record "$tag" "Schedule service" FAIL "not running after net start"
}

run_build() {
    local build system size kind name args why
    build=$(cd "$1" && pwd) || { record "$1" "build directory" FAIL "not found"; return; }
    tag=$(basename "$build")
    system=$(ls "$build"/CMakeFiles/*/CMakeSystem.cmake 2>/dev/null | head -n1)
    if [ -z "$system" ] || ! grep -q 'set(CMAKE_SYSTEM_NAME "Windows")' "$system"; then
        record "$tag" "build directory" FAIL "not a configured Windows build"
        return
    fi
    size=4
    grep -qE 'set\(CMAKE_SYSTEM_PROCESSOR "(x86_64|amd64|AMD64)"\)' "$system" && size=8
    if ! why=$(wine_can_run "$size"); then
        echo "=== $tag: SKIPPED: $why"
        record "$tag" "all suites" SKIP "$why"
        return
    fi
    loader=$wine32_loader
    [ "$size" = 8 ] && loader=$wine64_loader
    make_prefix "$([ "$size" = 8 ] && echo win64 || echo win32)" || return
    cd "$build" || return
    dll=$build/component/windows/velqosch.dll
    [ -f "$dll" ] || { record "$tag" "velqosch.dll" FAIL "not built: $dll"; return; }
    wdll=$(winpath "$dll")
    wtlb=$(winpath "$build/component/velqosch.tlb")
    while IFS='|' read -r kind name args; do
        kind=$(echo $kind) name=$(echo $name)
        [ "$kind" = gtest ] || [ "$kind" = example ] || echo "--- $tag: $name"
        # shellcheck disable=SC2086 # the table's arguments are words and globs
        "suite_$kind" "$name" $args
    done < <(suites)
}

for b in "$@"; do
    run_build "$b"
    cd "$source_dir" || exit 1
    cleanup_prefix
done

echo
echo "=== Wine summary ($("$wine64_loader" --version 2>/dev/null || echo 'no wine'))"
printf '%s\n' "${summary[@]}"
if [ $failures -ne 0 ]; then
    echo "FAILED"
    exit 1
fi
echo "all suites that ran passed"
