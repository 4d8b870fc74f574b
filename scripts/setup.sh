#!/usr/bin/env bash
# Makes sure this Debian machine has what the builds need, installing what is missing with apt
# when run as root, or saying what to install otherwise.
#   scripts/setup.sh          the host build (compiler, CMake, Ninja, GoogleTest sources)
#   scripts/setup.sh --win32  also the i686 MinGW-w64 cross compiler and 32-bit Wine
set -euo pipefail

want_win32=false
[ "${1:-}" = "--win32" ] && want_win32=true

missing=()
have_command() { command -v "$1" >/dev/null 2>&1; }
have_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have_command cmake || missing+=(cmake)
have_command ninja || missing+=(ninja-build)
have_command g++ || missing+=(g++)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
if $want_win32; then
  have_command i686-w64-mingw32-g++-posix || missing+=(g++-mingw-w64-i686)
  have_command wine || missing+=(wine)
  have_package wine32:i386 || missing+=(wine32:i386)
fi

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "kovox needs these Debian packages: ${missing[*]}" >&2
  echo "Install them as root (32-bit Wine first needs: dpkg --add-architecture i386; apt-get update)." >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
if $want_win32 && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
