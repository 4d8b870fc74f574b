#!/usr/bin/env bash
# Builds and runs every suite: the host build, the host build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Win32 build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

for preset in host host-sanitize win32; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$(nproc)"
done
