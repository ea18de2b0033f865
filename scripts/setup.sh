#!/usr/bin/env bash
# Installs with apt-get whatever the build and the tests need and is missing,
# and 32-bit Wine (wine32, architecture i386) where the machine allows it.
set -euo pipefail
packages=(build-essential cmake ninja-build g++ clang libclang-rt-14-dev clang-format
          libgtest-dev libgmock-dev googletest libbenchmark-dev
          mingw-w64 mingw-w64-tools libwine-dev wine wine64)
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

# 32-bit Wine runs the win32 build's tests. It needs the i386 architecture; when
# that cannot be had, scripts/wine-tests.sh skips the 32-bit suites and says so.
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if [ "$(dpkg --print-architecture)" = amd64 ]; then
    echo "Installing wine32 (adding the i386 architecture)"
    if ! { dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386; } ||
      ! $sudo apt-get update -qq ||
      ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends wine32:i386; then
      echo "setup: wine32 could not be installed; the 32-bit Wine suites will be skipped" >&2
    fi
  else
    echo "setup: no i386 architecture on $(dpkg --print-architecture); the 32-bit Wine suites will be skipped" >&2
  fi
fi
