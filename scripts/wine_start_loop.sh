#!/usr/bin/env bash
# Counts Windows process starts that fail under wine64. Each round makes a fresh prefix under one
# Wine server, then runs kovox.exe over a folder device of FOLDERS folders, PAR runs at once, RUNS
# times, as the tests start it (through wine_launch.exe), with Wine's own error messages kept.
# A run fails when its listing is short or anything reached its standard error.
#   scripts/wine_start_loop.sh                          wine64 through cmake/wine64-fixed-layout.sh
#   LOADER=/usr/lib/wine/wine64 scripts/wine_start_loop.sh   wine64 as it is
# Needs the win64 build (cmake --build --preset win64). ROUNDS, RUNS, PAR, FOLDERS: 10, 3, 2, 150.
set -u
cd "$(dirname "$0")/.."
source=$PWD
build=$source/build/win64
loader=${LOADER:-$source/cmake/wine64-fixed-layout.sh}
rounds=${ROUNDS:-10} runs=${RUNS:-3} par=${PAR:-2} folders=${FOLDERS:-150}
work=$source/build/wine-start-loop
rm -rf "$work" && mkdir -p "$work/devices/dev" "$work/bin"
for i in $(seq "$folders"); do mkdir "$work/devices/dev/d$i" && echo x > "$work/devices/dev/d$i/f"; done
cp "$build/kovox.exe" "$build/kovont.exe" "$build/wine_launch.exe" "$work/bin/"
windows() { echo "Z:${1//\//\\}"; }
export WINEARCH=win64 WINEDEBUG=fixme-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$work/prefix
unset DISPLAY
archive=$(printf dev.img | od -An -tx1 | tr -d ' \n')
failed=0 total=0
for round in $(seq "$rounds"); do
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wineserver -p60
  "$loader" wineboot --init >/dev/null 2>&1
  for run in $(seq "$runs"); do
    for p in $(seq "$par"); do
      mkdir -p "$work/t$p"
      "$loader" "$work/bin/wine_launch.exe" "$(windows "$work/t$p")" "TEMP=$(windows "$work/t$p")" \
        "TMP=$(windows "$work/t$p")" "KOVO_DEVICES=$(windows "$work/devices")" \
        "PATH=$(windows "$work/bin");C:\\windows\\system32;C:\\windows" -- "$(windows "$work/bin/kovox.exe")" \
        "$archive" > "$work/out.$p" 2> "$work/err.$p" &
    done
    wait
    for p in $(seq "$par"); do
      total=$((total + 1))
      lines=$(wc -l < "$work/out.$p")
      if [ "$lines" != $((folders * 2)) ] || [ -s "$work/err.$p" ]; then
        failed=$((failed + 1))
        echo "round $round, run $run.$p: $lines lines; $(sort "$work/err.$p" | uniq -c | head -3)"
      fi
    done
  done
  /usr/lib/wine/wineserver -k; /usr/lib/wine/wineserver -w
done
echo "failed $failed of $total runs"
