#!/usr/bin/env bash
# Builds and runs every suite: the host build, the host build under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short libFuzzer run of each fuzzing target (clang, with ASan and
# UBSan), and the Win32 build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

for preset in host host-sanitize fuzz win32; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$(nproc)"
done
