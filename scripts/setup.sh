#!/usr/bin/env bash
# Makes sure this Debian machine has what a job needs, installing what is missing with apt when
# run as root, or saying what to install otherwise.
#   scripts/setup.sh demo   the host build: compiler, CMake, Ninja, GoogleTest sources, and
#                           e2fsprogs with libext2fs, which the stand-in tool reads images with
#   scripts/setup.sh test   also 32-bit and 64-bit Wine, the i686 and x86_64 MinGW-w64 compilers,
#                           clang's fuzzer runtime, Midnight Commander with tmux, and Double
#                           Commander with Xvfb, xdotool, xclip and ImageMagick for the
#                           file-manager tests, and for the package tests dpkg-dev and file
#                           (the .deb's Depends), lintian and groff
#   scripts/setup.sh bench  the host build, valgrind, 7-Zip as the in-process reference reader,
#                           Debian's Python 3 with matplotlib for the picture, and the Windows
#                           build under Wine (as for the tests)
set -euo pipefail

job=${1:-demo}
missing=()
need_command() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need_package() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" || missing+=("$1")
}

need_command cmake cmake
need_command ninja ninja-build
need_command g++ g++
need_package googletest
need_package libext2fs-dev
need_command mke2fs e2fsprogs
case "$job" in
  test)
    need_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686
    need_command wine wine
    need_package wine32:i386
    need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
    need_package wine64
    need_command clang++ clang
    need_package libclang-rt-14-dev
    need_command mc mc
    need_command tmux tmux
    need_command doublecmd doublecmd-gtk
    need_command Xvfb xvfb
    need_command xdotool xdotool
    need_command xclip xclip
    need_command import imagemagick
    need_command dpkg-shlibdeps dpkg-dev
    need_command file file
    need_command lintian lintian
    need_command groff groff-base
    ;;
  bench)
    need_command valgrind valgrind
    need_command 7zz 7zip
    need_package python3-matplotlib
    need_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686
    need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
    need_command wine wine
    need_package wine32:i386
    need_package wine64
    ;;
esac

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "kovox needs these Debian packages: ${missing[*]}" >&2
  echo "Install them as root (32-bit Wine first needs: dpkg --add-architecture i386; apt-get update)." >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
