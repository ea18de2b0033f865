#!/usr/bin/env bash
# Installs with apt-get whatever the build and the tests need and is missing,
# and 32-bit Wine (wine32, architecture i386) where the machine allows it.
set -euo pipefail
packages=(build-essential cmake ninja-build g++ clang libclang-rt-14-dev clang-format
          libgtest-dev libgmock-dev googletest libbenchmark-dev
          mingw-w64 mingw-w64-tools libwine-dev wine wine64 gcovr locales
          dpkg-dev pkg-config systemd man-db
          tzdata)  # time zones with daylight saving, for the clock-change tests
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# 32-bit Wine runs the win32 build's tests, on a kernel that runs 32-bit
# programs. That is decided by trying: a tiny 32-bit program is assembled and
# started; where the kernel refuses it, wine32 is not installed (its loader could
# not start) and scripts/wine-tests.sh skips the 32-bit suites.
runs_32bit_programs() {
  local dir rc=1
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/probe.s"
  if as --32 -o "$dir/probe.o" "$dir/probe.s" 2>/dev/null && ld -m elf_i386 -o "$dir/probe" "$dir/probe.o" 2>/dev/null; then
    "$dir/probe" 2>/dev/null && rc=0
  fi
  rm -rf "$dir"
  return $rc
}
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if [ "$(dpkg --print-architecture)" != amd64 ]; then
    echo "setup: no i386 architecture on $(dpkg --print-architecture); the 32-bit Wine suites will be skipped" >&2
  elif ! runs_32bit_programs; then
    echo "setup: this kernel does not run 32-bit programs; wine32 is not installed and the 32-bit Wine suites will be skipped" >&2
  else
    echo "Installing wine32 (adding the i386 architecture)"
    if ! { dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386; } ||
      ! $sudo apt-get update -qq ||
      ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends wine32:i386; then
      echo "setup: wine32 could not be installed; the 32-bit Wine suites will be skipped" >&2
    fi
  fi
fi
