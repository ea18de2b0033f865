#!/usr/bin/env bash
# The Windows release archive from the win32 and win64 builds:
#   velqosch-<version>-windows.zip
#     velqosch-<version>/x86/velqosch.dll     32-bit
#     velqosch-<version>/x64/velqosch.dll     64-bit
#     velqosch-<version>/register.cmd, unregister.cmd   (CRLF)
#     velqosch-<version>/README.md, and docs/ and examples/ when the source tree has them
#
#   scripts/windows-archive.sh [-o ARCHIVE] WIN32_BUILD WIN64_BUILD
# Default archive: build/velqosch-<version>-windows.zip. Prints its path.
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(velqosch VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
archive=$source/build/velqosch-$version-windows.zip
if [ "${1:-}" = -o ]; then
    archive=$(realpath -m "$2")
    shift 2
fi
if [ $# -ne 2 ]; then
    echo "usage: scripts/windows-archive.sh [-o ARCHIVE] WIN32_BUILD WIN64_BUILD" >&2
    exit 2
fi
dll32=$(realpath -m "$1/component/windows/velqosch.dll")
dll64=$(realpath -m "$2/component/windows/velqosch.dll")
for dll in "$dll32" "$dll64"; do
    [ -f "$dll" ] || { echo "windows-archive: $dll is missing: build the component first" >&2; exit 1; }
done
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/velqosch-$version
mkdir -p "$top/x86" "$top/x64"
cp "$dll32" "$top/x86/velqosch.dll"
cp "$dll64" "$top/x64/velqosch.dll"
for script in register.cmd unregister.cmd; do
    sed 's/\r*$/\r/' "$source/packaging/windows/$script" >"$top/$script"
done
cp "$source/README.md" "$top/"
for folder in docs examples; do
    if [ -d "$source/$folder" ]; then cp -R "$source/$folder" "$top/"; fi
done
mkdir -p "$(dirname "$archive")"
rm -f "$archive"
(cd "$stage" && cmake -E tar cf "$archive" --format=zip "velqosch-$version")
echo "$archive"
