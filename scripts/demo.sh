#!/usr/bin/env bash
# Builds kovox and the stand-in tool for this host, makes the sample device, lists it and copies
# one file off it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
cmake --preset host >/dev/null
cmake --build --preset host >/dev/null
cd build/host
echo "\$ kovox hda1.img"
./kovox hda1.img
rm -rf extracted && mkdir extracted && cd extracted
echo
echo "\$ kovox -READ hda1.img /etc/passwd    (in build/host/extracted)"
PATH="$PWD/..:$PATH" ../kovox -READ hda1.img /etc/passwd
ls -l passwd
cat passwd
