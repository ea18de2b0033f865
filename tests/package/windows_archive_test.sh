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
# shellcheck source=tests/package/checks.sh
source tests/package/checks.sh
win32=${1:-build/win32}
win64=${2:-build/win64}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(sed -n 's/^project(velqosch VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
top=velqosch-$version
archive=$(scripts/windows-archive.sh -o "$work/out/$top-windows.zip" "$win32" "$win64" 2>"$work/err") ||
    { fail "archive built: $(cat "$work/err")"; finish "windows archive test"; exit 1; }
ok "archive built from $win32 and $win64"

# The listing: files only, sorted, against the expected set (expected <, archive >).
listing() {
    (cd "$work" && mkdir x && cd x && cmake -E tar xf "$archive") || return 1
    diff <({
        printf "$top/%s\n" x86/velqosch.dll x64/velqosch.dll register.cmd unregister.cmd README.md
        for folder in docs examples; do [ -d "$folder" ] && find "$folder" -type f | sed "s|^|$top/|"; done
    } | LC_ALL=C sort) <(cd "$work/x" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
}
expect "listing: the DLLs, the scripts, README.md, docs/ and examples/" listing
arch_is() {  # arch_is FOLDER FORMAT
    objdump -f "$work/x/$top/$1/velqosch.dll" 2>&1 | grep -q "file format $2\$"
}
expect "x86/velqosch.dll is pei-i386" arch_is x86 pei-i386
expect "x64/velqosch.dll is pei-x86-64" arch_is x64 pei-x86-64

# The scripts: CRLF, and each DLL through the regsvr32 of its bitness on
# 64-bit Windows (SysWOW64 for x86, System32 for x64; Sysnative from a 32-bit
# prompt), the x86 one alone on 32-bit Windows. Prints what a script lacks.
lines_of() {  # lines_of SCRIPT FLAG
    local file=$work/x/$top/$1 line missing=0
    if [ ! -f "$file" ] || grep -qv $'\r$' "$file"; then echo "not all lines end in CRLF"; return 1; fi
    for line in 'set "regsvr32_x86=%SystemRoot%\SysWOW64\regsvr32.exe"' \
        'set "regsvr32_x64=%SystemRoot%\System32\regsvr32.exe"' \
        'set "regsvr32_x64=%SystemRoot%\Sysnative\regsvr32.exe"' \
        "\"%regsvr32_x86%\" $2 \"%here%x86\\velqosch.dll\" || goto failed" \
        "\"%regsvr32_x64%\" $2 \"%here%x64\\velqosch.dll\" || goto failed"; do
        tr -d '\r' <"$file" | grep -qF -- "$line" || { echo "lacks [$line]"; missing=1; }
    done
    return $missing
}
expect "register.cmd: CRLF, x86 through SysWOW64, x64 through System32" lines_of register.cmd /s
expect "unregister.cmd: CRLF, x86 through SysWOW64, x64 through System32" lines_of unregister.cmd "/u /s"
finish "windows archive test"
