#!/usr/bin/env bash
# Builds and runs every suite: the host build, the host build under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short libFuzzer run of each fuzzing target (clang, with ASan and
# UBSan), and the Windows build under Wine: the 32-bit release build under 32-bit Wine where this
# machine runs 32-bit x86 code, else the same sources built for x86_64 under wine64 (the 32-bit
# build is then still compiled and its zip checked). KOVOX_FORCE_WIN64=1 takes the second way.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

# The Windows suites run the host preset's image test programs, built a moment before, rather than
# a host build of their own.
build_preset() {
  echo "=== $1"
  case "$1" in
    win32 | win64) cmake --preset "$1" -DKOVOX_HOST_TEST_PROGRAMS="$PWD/build/host" >/dev/null ;;
    *) cmake --preset "$1" >/dev/null ;;
  esac
  cmake --build --preset "$1"
}
run_preset() {
  build_preset "$1"
  ctest --preset "$1" -j "$(nproc)"
}

for preset in host host-sanitize fuzz; do
  run_preset "$preset"
done

# Asked once, of Wine's own loaders (never the "wine" wrapper, which picks the 32-bit one whenever
# it is installed). A kernel without 32-bit support refuses the loader at once; the time limit
# only guards against a loader that never answers.
# bash execs the loader itself: a C library's exec would hand a binary the kernel refuses to
# /bin/sh as a script and report a syntax error instead of "Exec format error".
loader_fails() {  # prints why the loader cannot start, or nothing when it can
  local output
  [ -x "$1" ] || { echo "$1 is not installed"; return; }
  output=$(timeout -k 5 60 bash -c 'exec "$0" --version' "$1" 2>&1) && return
  output=${output%%$'\n'*}
  echo "$1 does not start (${output##*: })"
}
why_not_win32=$(loader_fails /usr/lib/wine/wine)
if [ -z "$why_not_win32" ] && grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
  why_not_win32="32-bit x86 code runs here only through qemu user emulation, under which Wine crashes"
fi
if [ -n "${KOVOX_FORCE_WIN64:-}" ]; then
  why_not_win32="KOVOX_FORCE_WIN64 is set${why_not_win32:+ (and $why_not_win32)}"
fi

if [ -z "$why_not_win32" ]; then
  echo "=== Windows suite: win32, the release build under 32-bit Wine (this machine runs 32-bit x86 code)"
  run_preset win32
  exit 0
fi

why_not_win64=$(loader_fails /usr/lib/wine/wine64)
if [ -n "$why_not_win64" ]; then
  echo "No Windows suite can run: $why_not_win32; $why_not_win64." >&2
  echo "Install wine32:i386 on a kernel that runs 32-bit x86 code, or wine64 and g++-mingw-w64-x86-64." >&2
  exit 1
fi
echo "=== Windows suite: win64 under wine64, not win32: $why_not_win32"
build_preset win32
echo "=== win32: built and packed; its programs cannot run here"
KOVOX_WINE_CANNOT_RUN="$why_not_win32" ctest --preset win32-zip
run_preset win64
