#!/usr/bin/env bash
# Builds kovox and the stand-in tool for this host, makes the sample device and lists it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host >/dev/null
cd build/host
echo "\$ kovox hda1.img"
./kovox hda1.img
