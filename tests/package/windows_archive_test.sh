#!/usr/bin/env bash
# The Windows release archive (scripts/windows-archive.sh) from the win32 and
# win64 builds: its listing is exactly the expected one (docs/ and examples/
# as the source tree has them), each velqosch.dll is of its architecture, and
# register.cmd/unregister.cmd send each DLL through the regsvr32 of its
# bitness, with CRLF line ends. Prints one line per check.
#
#   tests/package/windows_archive_test.sh [WIN32_BUILD WIN64_BUILD]   (default build/win32 build/win64)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
win32=${1:-build/win32}
win64=${2:-build/win64}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
pass() { echo "ok    $*"; }
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}
version=$(sed -n 's/^project(velqosch VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
top=velqosch-$version
if ! archive=$(scripts/windows-archive.sh -o "$work/out/$top-windows.zip" "$win32" "$win64" 2>"$work/err"); then
    fail "archive built: $(cat "$work/err")"
    echo "windows archive test: $failures failed"
    exit 1
fi
pass "archive built from $win32 and $win64"

# The listing: files only, sorted, against the expected set.
(cd "$work" && mkdir x && cd x && cmake -E tar xf "$archive") || fail "archive unpacks"
(cd "$work/x" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$work/listing"
{
    printf '%s\n' "$top/x86/velqosch.dll" "$top/x64/velqosch.dll" "$top/register.cmd" "$top/unregister.cmd" \
        "$top/README.md"
    for folder in docs examples; do
        [ -d "$folder" ] && find "$folder" -type f | sed "s|^|$top/|"
    done
} | LC_ALL=C sort >"$work/expected"
if diff "$work/expected" "$work/listing" >"$work/diff"; then
    pass "listing: $(wc -l <"$work/listing") files ($(cd "$work/x/$top" && ls -d -- */ | tr -d / | xargs))"
else
    fail "listing differs (expected <, archive >): $(tr '\n' ' ' <"$work/diff")"
fi

# Each DLL is of its architecture.
for row in "x86 pei-i386" "x64 pei-x86-64"; do
    set -- $row
    format=$(objdump -f "$work/x/$top/$1/velqosch.dll" 2>/dev/null | sed -n 's/.*file format //p')
    if [ "$format" = "$2" ]; then pass "$1/velqosch.dll is $2"; else fail "$1/velqosch.dll is '${format:-unreadable}', not $2"; fi
done

# The scripts: CRLF, and each DLL through the regsvr32 of its bitness on
# 64-bit Windows (SysWOW64 for x86, System32 for x64; Sysnative from a 32-bit
# prompt), the x86 one alone on 32-bit Windows.
for script in register.cmd unregister.cmd; do
    file=$work/x/$top/$script
    flag=/s
    [ $script = unregister.cmd ] && flag="/u /s"
    if [ -f "$file" ] && ! grep -qv $'\r$' "$file"; then pass "$script has CRLF line ends"; else fail "$script line ends"; fi
    tr -d '\r' <"$file" >"$work/$script"
    missing=""
    for line in 'set "regsvr32_x86=%SystemRoot%\SysWOW64\regsvr32.exe"' \
        'set "regsvr32_x64=%SystemRoot%\System32\regsvr32.exe"' \
        'set "regsvr32_x64=%SystemRoot%\Sysnative\regsvr32.exe"' \
        "\"%regsvr32_x86%\" $flag \"%here%x86\\velqosch.dll\" || goto failed" \
        "\"%regsvr32_x64%\" $flag \"%here%x64\\velqosch.dll\" || goto failed"; do
        grep -qF -- "$line" "$work/$script" || missing+=" [$line]"
    done
    if [ -z "$missing" ]; then pass "$script: x86 through SysWOW64, x64 through System32"; else fail "$script lacks:$missing"; fi
done
echo "windows archive test: $failures failed"
[ $failures -eq 0 ]
