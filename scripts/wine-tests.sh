#!/usr/bin/env bash
# The Windows builds under Wine: for each build directory, in a fresh Wine
# prefix with the Schedule service running, the plain test programs, the
# DLL's registration, the VBScript and JScript suites, the early-bound client,
# the type-library check and the unregistration.
#
#   scripts/wine-tests.sh BUILD_DIR [BUILD_DIR...]
#
# A build that this machine's Wine cannot run (a 32-bit build without wine32,
# a 64-bit one without wine64) is skipped with a message. Exit status: 0 when
# every suite that ran passed, 1 otherwise.
set -uo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 BUILD_DIR [BUILD_DIR...]" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
surface="$source_dir/component/surface.inc"
step_timeout=${VELQO_WINE_TIMEOUT:-300}

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
libid=$(sed -nE 's/^VQ_LIBRARY\(([A-Za-z]+), "([0-9A-Fa-f-]{36})", ([0-9]+), ([0-9]+),.*/\2/p' "$surface")
libname=$(sed -nE 's/^VQ_LIBRARY\(([A-Za-z]+), .*/\1/p' "$surface")
libversion=$(sed -nE 's/^VQ_LIBRARY\(([A-Za-z]+), "([0-9A-Fa-f-]{36})", ([0-9]+), ([0-9]+),.*/\3.\4/p' "$surface")
if [ ${#classes[@]} -ne 5 ] || [ ${#iids[@]} -ne 6 ] || [ -z "$libid" ]; then
    echo "wine-tests: cannot read the identities from $surface" >&2
    exit 1
fi

# The Wine loader of each pointer size. /usr/bin/wine (and the wineboot,
# winepath, reg ... wrappers that call it) picks the 32-bit loader whenever
# wine32 is installed, so every step goes through the loader chosen here.
wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64

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

loader=$wine64_loader
w() { timeout "$step_timeout" "$loader" "$@"; }
winpath() { w winepath.exe -w "$1" 2>/dev/null | tr -d '\r'; }

# The registry keys of the registration, one per line.
registry_keys() {
    local c name clsid
    for c in "${classes[@]}"; do
        read -r name clsid <<<"$c"
        echo "HKCR\\CLSID\\{$clsid}"
        echo "HKCR\\$libname.$name"
    done
    for iid in "${iids[@]}"; do echo "HKCR\\Interface\\{$iid}"; done
    echo "HKCR\\TypeLib\\{$libid}"
}

# Every value under every key of the registration, for comparing two registrations.
registry_dump() {
    local key
    registry_keys | while read -r key; do
        echo "== $key"
        w reg query "$key" /s 2>/dev/null | tr -d '\r' | sed '/^$/d'
    done
}

# query KEY [VALUE|/ve]: prints the value's data (third column on) or fails.
reg_value() {
    local out
    if [ "$2" = /ve ]; then
        out=$(w reg query "$1" /ve 2>/dev/null | tr -d '\r') || return 1
        sed -nE 's/^ +\(Default\) +REG_[A-Z_]+ +//p' <<<"$out" | head -n1
    else
        out=$(w reg query "$1" /v "$2" 2>/dev/null | tr -d '\r') || return 1
        sed -nE "s/^ +$2 +REG_[A-Z_]+ +//p" <<<"$out" | head -n1
    fi
}

check_registration() {  # check_registration DLL_WINDOWS_PATH: prints problems, fails when there is one
    local dll=$1 bad=0 c name clsid v iid
    expect() {  # expect KEY VALUE WANTED (WANTED "*" = any, "~text" = contains text, case-insensitive)
        local got
        if ! got=$(reg_value "$1" "$2"); then
            echo "missing: $1 [$2]"
            bad=1
            return
        fi
        case "$3" in
        '*') ;;
        '~'*) grep -qiF -- "${3#\~}" <<<"$got" || { echo "$1 [$2] = '$got', expected to contain '${3#\~}'"; bad=1; } ;;
        *) [ "${got,,}" = "${3,,}" ] || { echo "$1 [$2] = '$got', expected '$3'"; bad=1; } ;;
        esac
    }
    for c in "${classes[@]}"; do
        read -r name clsid <<<"$c"
        expect "HKCR\\CLSID\\{$clsid}\\InprocServer32" /ve "~$(basename "${dll//\\//}")"
        expect "HKCR\\CLSID\\{$clsid}\\InprocServer32" ThreadingModel Apartment
        expect "HKCR\\CLSID\\{$clsid}\\ProgID" /ve "$libname.$name"
        expect "HKCR\\CLSID\\{$clsid}\\TypeLib" /ve "{$libid}"
        expect "HKCR\\$libname.$name\\CLSID" /ve "{$clsid}"
    done
    for iid in "${iids[@]}"; do
        expect "HKCR\\Interface\\{$iid}" /ve '*'
        expect "HKCR\\Interface\\{$iid}\\ProxyStubClsid32" /ve "{00020424-0000-0000-C000-000000000046}"
        expect "HKCR\\Interface\\{$iid}\\TypeLib" /ve "{$libid}"
    done
    v=$(w reg query "HKCR\\TypeLib\\{$libid}\\$libversion" /s 2>/dev/null | tr -d '\r')
    grep -qiE '\\0\\win(32|64)$' <<<"$v" || { echo "missing: HKCR\\TypeLib\\{$libid}\\$libversion\\0\\win32|win64"; bad=1; }
    return $bad
}

check_unregistered() {
    local key bad=0
    while read -r key; do
        if w reg query "$key" >/dev/null 2>&1; then
            echo "still present: $key"
            bad=1
        fi
    done < <(registry_keys)
    return $bad
}

# The prefix's Tasks folder: Wine spells it "tasks", so it is found in any case.
wine_tasks_folder() {
    local found
    found=$(find "$WINEPREFIX/drive_c/windows" -maxdepth 1 -iname tasks -type d | head -n1)
    echo "${found:-$WINEPREFIX/drive_c/windows/tasks}"
}

# vtask.exe, late-bound by ProgID as on POSIX, shows and lists a daily work
# item that vtask wrote on POSIX (inside run_build, after interchange).
# Wine's own next-run computation does not return for the weekly items of
# the interchange (every 2 weeks), so they leave Wine's store first.
vtask_exe() {  # vtask_exe TAG
    local tag=$1 posix=${VELQO_POSIX_BUILD:-$source_dir/build/posix} store=$prefix/posix wine_tasks out
    local vtask=$posix/tools/vtask/vtask
    [ -f tools/vtask/vtask.exe ] || return 0
    echo "--- $tag: vtask.exe"
    wine_tasks=$(wine_tasks_folder)
    if ! declare -F posix_vtask >/dev/null || [ ! -x "$vtask" ] || [ ! -d "$wine_tasks" ]; then
        record "$tag" "vtask.exe" SKIP "no POSIX build with vtask at $posix"
        return
    fi
    find "$wine_tasks" -maxdepth 1 -name '*.job' -delete
    if ! { posix_vtask add "Daily Notes" --app 'C:\windows\system32\notepad.exe' --comment "written on POSIX" &&
        posix_vtask trigger add "Daily Notes" --daily 1 --at 09:30 --from 2027-01-04 >/dev/null; }; then
        record "$tag" "vtask.exe" FAIL "vtask could not write the job on POSIX"
        return
    fi
    cp "$store/windows/Tasks/Daily Notes.job" "$wine_tasks/"
    out=$(w tools/vtask/vtask.exe show "Daily Notes" 2>&1 | tr -d '\r')
    if grep -qE '^Comment: +written on POSIX$' <<<"$out" && grep -qE "every (1 )?day at 09:30" <<<"$out" &&
        grep -qE "^Next run: +2027-01-04 09:30$" <<<"$out" &&
        w tools/vtask/vtask.exe list 2>&1 | tr -d '\r' | grep -qF "Daily Notes"; then
        record "$tag" "vtask.exe" PASS "show and list"
    else
        echo "$out"
        record "$tag" "vtask.exe" FAIL "show or list failed (above)"
    fi
}

# The .job interchange with the POSIX service (its build: $VELQO_POSIX_BUILD,
# default build/posix): a work item written by vtask on POSIX is read here
# through the component and Wine's service, and one written here is read by
# vtask on POSIX, each with its settings and its weekly trigger. The values
# are those of tests/wine/interchange.vbs.
interchange() {  # interchange TAG (inside run_build: prefix and the DLL registered)
    local tag=$1 posix=${VELQO_POSIX_BUILD:-$source_dir/build/posix}
    local vtask=$posix/tools/vtask/vtask regsvr=$posix/platform/velqo-regsvr lib=$posix/platform/libvelqosch.so
    if [ ! -x "$vtask" ] || [ ! -x "$regsvr" ] || [ ! -f "$lib" ]; then
        record "$tag" "job interchange" SKIP "no POSIX build with vtask at $posix"
        return
    fi
    local store=$prefix/posix wine_tasks host out rc
    wine_tasks=$(wine_tasks_folder)
    mkdir -p "$store" "$wine_tasks"
    host=$(winpath "$source_dir/tests/wine/interchange.vbs")
    posix_vtask() {
        VELQOSCH_WINDIR=$store/windows VELQOSCH_REGISTRY=$store/registry XDG_RUNTIME_DIR=$store "$vtask" "$@"
    }
    stop_posix_service() {
        local pid
        pid=$(head -n1 "$store/windows/Tasks/.service/daemon.lock" 2>/dev/null | tr -dc 0-9)
        [ -n "$pid" ] && kill "$pid" 2>/dev/null
        return 0
    }

    echo "--- $tag: .job interchange, POSIX to Wine"
    if VELQOSCH_REGISTRY=$store/registry "$regsvr" -s "$lib" &&
        posix_vtask add "From Posix" --app 'C:\windows\system32\notepad.exe' --params interchange.txt \
            --dir 'C:\windows\temp' --comment "moved between services" --creator "velqo interchange" \
            --max-run-time 5400000 --flags hidden &&
        posix_vtask trigger add "From Posix" --weekly 2 --days mon,wed --at 14:35 --from 2027-01-04 >/dev/null; then
        cp "$store/windows/Tasks/From Posix.job" "$wine_tasks/"
        w cscript //nologo "$host" check "From Posix" 2>&1 | tr -d '\r' | tee "$prefix/interchange-in.log" | grep -v '^PASS'
        rc=${PIPESTATUS[0]}
        if grep -qE '^[0-9]+ passed, 0 failed$' "$prefix/interchange-in.log" && [ "$rc" = 0 ]; then
            record "$tag" "job from POSIX to Wine" PASS "$(grep -c '^PASS' "$prefix/interchange-in.log") checks"
        else
            record "$tag" "job from POSIX to Wine" FAIL "see above"
        fi
    else
        record "$tag" "job from POSIX to Wine" FAIL "vtask could not write the job on POSIX"
    fi

    echo "--- $tag: .job interchange, Wine to POSIX"
    w cscript //nologo "$host" write "From Wine" 2>&1 | tr -d '\r' | grep -v '^PASS'
    if [ -f "$wine_tasks/From Wine.job" ] && mkdir -p "$store/windows/Tasks" &&
        cp "$wine_tasks/From Wine.job" "$store/windows/Tasks/" && out=$(posix_vtask show "From Wine" 2>&1); then
        local bad=0 field want got
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
            { echo "trigger text missing in:"; echo "$out"; bad=1; }
        if [ $bad = 0 ]; then record "$tag" "job from Wine to POSIX" PASS; else
            record "$tag" "job from Wine to POSIX" FAIL "see above"
        fi
    else
        echo "$out"
        record "$tag" "job from Wine to POSIX" FAIL "no job file from Wine's service, or vtask could not read it"
    fi
    stop_posix_service
}

current_prefix=""
cleanup_prefix() {
    if [ -n "$current_prefix" ]; then
        WINEPREFIX="$current_prefix/prefix" wineserver -k >/dev/null 2>&1
        rm -rf "$current_prefix"
        current_prefix=""
    fi
}
trap cleanup_prefix EXIT

run_build() {
    local build=$1 tag size arch prefix dll tlb t name out rc
    build=$(cd "$build" && pwd) || { record "$1" "build directory" FAIL "not found"; return; }
    local system
    system=$(ls "$build"/CMakeFiles/*/CMakeSystem.cmake 2>/dev/null | head -n1)
    if [ -z "$system" ] || ! grep -q 'set(CMAKE_SYSTEM_NAME "Windows")' "$system"; then
        record "$(basename "$build")" "build directory" FAIL "not a configured Windows build"
        return
    fi
    case $(sed -nE 's/^set\(CMAKE_SYSTEM_PROCESSOR "([^"]*)"\)/\1/p' "$system") in
    x86_64 | amd64 | AMD64) size=8 ;;
    *) size=4 ;;
    esac
    tag=$(basename "$build")
    if ! why=$(wine_can_run "$size"); then
        echo "=== $tag: SKIPPED: $why"
        record "$tag" "all suites" SKIP "$why"
        return
    fi
    arch=win32
    loader=$wine32_loader
    if [ "$size" = 8 ]; then
        arch=win64
        loader=$wine64_loader
    fi
    export WINELOADER=$loader

    prefix=$(mktemp -d "${TMPDIR:-/tmp}/velqo-wine.XXXXXX")
    current_prefix=$prefix
    export WINEPREFIX="$prefix/prefix" WINEARCH=$arch WINEDEBUG=-all
    echo "=== $tag: Wine prefix ($arch) under $prefix"
    if ! w wineboot.exe -i >"$prefix/wineboot.log" 2>&1; then
        cat "$prefix/wineboot.log"
        record "$tag" "wine prefix" FAIL "wineboot -i failed"
        return
    fi
    cd "$build" || return

    # The Schedule service. Right after wineboot the service database may still be locked: try again until
    # the service reports that it runs.
    local running=0
    for _ in $(seq 30); do
        if w sc query Schedule 2>/dev/null | tr -d '\r' | grep -qE 'STATE +: +4 +RUNNING'; then
            running=1
            break
        fi
        w net start Schedule >>"$prefix/net.log" 2>&1
        sleep 1
    done
    if [ $running = 1 ]; then
        record "$tag" "Schedule service" PASS
    else
        cat "$prefix/net.log"
        record "$tag" "Schedule service" FAIL "not running after net start"
    fi

    # The plain test programs of the build.
    for t in tests/runtime/*.exe tests/globals/*.exe tests/trace/*.exe tests/surface/*.exe tests/vtask/*.exe; do
        [ -f "$t" ] || continue
        name=$(basename "$t" .exe)
        echo "--- $tag: $name"
        w "$t" --gtest_brief=1 2>&1 | tr -d '\r' | tee "$prefix/$name.log" | grep -vE '^(Running main|\[ +(OK|RUN) +\])'
        rc=${PIPESTATUS[0]}
        if [ "$rc" = 0 ]; then record "$tag" "$name" PASS; else
            record "$tag" "$name" FAIL "$(grep -c '^\[  FAILED  \] [A-Za-z]' "$prefix/$name.log") failed, exit $rc"
        fi
    done

    dll=$build/component/windows/velqosch.dll
    tlb=$build/component/velqosch.tlb
    if [ ! -f "$dll" ]; then
        record "$tag" "velqosch.dll" FAIL "not built: $dll"
        return
    fi
    local wdll wtlb
    wdll=$(winpath "$dll")
    wtlb=$(winpath "$tlb")

    # Registration, twice: the second leaves the same single set.
    echo "--- $tag: registration"
    if w regsvr32 /s "$wdll" >/dev/null 2>&1; then
        if out=$(check_registration "$wdll"); then record "$tag" "regsvr32" PASS; else
            echo "$out"
            record "$tag" "regsvr32" FAIL "$(head -n1 <<<"$out") ($(wc -l <<<"$out") wrong)"
        fi
        registry_dump >"$prefix/reg1.txt"
        if w regsvr32 /s "$wdll" >/dev/null 2>&1 && registry_dump >"$prefix/reg2.txt" &&
            diff -u "$prefix/reg1.txt" "$prefix/reg2.txt"; then
            record "$tag" "regsvr32 twice" PASS
        else
            record "$tag" "regsvr32 twice" FAIL "second registration differs (above) or failed"
        fi
    else
        record "$tag" "regsvr32" FAIL "DllRegisterServer failed"
    fi

    # The script suites: each prints PASS/FAIL lines and exits with its failure count.
    local host script
    for script in scheduler.vbs scheduler.js; do
        host=$(winpath "$source_dir/tests/wine/$script")
        echo "--- $tag: $script"
        w cscript //nologo "$host" 2>&1 | tr -d '\r' | tee "$prefix/$script.log" | grep -v '^PASS'
        rc=${PIPESTATUS[0]}
        local passed
        passed=$(grep -c '^PASS' "$prefix/$script.log")
        # Wine's script host reports an unhandled script error nowhere and exits with 0: only a run that
        # reached the suite's closing count line has run every check.
        if ! grep -qE '^[0-9]+ passed, [0-9]+ failed$' "$prefix/$script.log"; then
            record "$tag" "$script" FAIL "the script stopped early (an unhandled error after $passed checks)"
        elif [ "$rc" = 0 ]; then
            record "$tag" "$script" PASS "$passed checks"
        else
            record "$tag" "$script" FAIL "$rc failed, $passed passed"
        fi
    done

    # The examples: each script must run to its closing "done" line.
    for script in "$source_dir"/examples/*.vbs "$source_dir"/examples/*.js; do
        echo "--- $tag: examples/${script##*/}"
        w cscript //nologo "$(winpath "$script")" 2>&1 | tr -d '\r' | tee "$prefix/example.log"
        if [ "$(tail -n 1 "$prefix/example.log")" = done ]; then record "$tag" "examples/${script##*/}" PASS; else
            record "$tag" "examples/${script##*/}" FAIL "did not reach its closing 'done' line"
        fi
    done

    interchange "$tag"

    vtask_exe "$tag"

    # The compiled clients.
    for t in early_bound typelib_check; do
        if [ ! -f "tests/wine/$t.exe" ]; then
            record "$tag" "$t" FAIL "not built"
            continue
        fi
        echo "--- $tag: $t"
        w "tests/wine/$t.exe" --gtest_brief=1 "$wdll" "$wtlb" 2>&1 | tr -d '\r' | tee "$prefix/$t.log" |
            grep -vE '^(Running main|\[ +(OK|RUN) +\])'
        rc=${PIPESTATUS[0]}
        if [ "$rc" = 0 ]; then record "$tag" "$t" PASS; else record "$tag" "$t" FAIL "exit $rc"; fi
    done

    # Unregistration removes every key.
    echo "--- $tag: unregistration"
    if w regsvr32 /u /s "$wdll" >/dev/null 2>&1; then
        if out=$(check_unregistered); then record "$tag" "regsvr32 /u" PASS; else
            echo "$out"
            record "$tag" "regsvr32 /u" FAIL "keys left (above)"
        fi
    else
        record "$tag" "regsvr32 /u" FAIL "DllUnregisterServer failed"
    fi
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
