#!/usr/bin/env bash
# The benchmark: what kovox costs on top of the tool runs themselves.
#
#   bench/run.sh
#
# Builds kovox, the stand-in tool and the benchmark's programs in build/bench (RelWithDebInfo, no
# sanitizers); makes folder-backed devices of 100, 1,000 and 10,000 folders (10 files in each) and
# one as deep as the path limits allow and beyond; checks that kovox lists each of them completely;
# and prints a table of kovox's wall time, the floor (the very command texts kovox runs, run back to
# back by bench/floor.cpp), kovox/floor from interleaved runs, kovox's own instructions per listed
# entry (callgrind, children not traced), its peak heap and stack (recorded in a native run, massif
# beside them), its stack per depth level, and the stand-in tool's start-up against a trivial
# static program.
#
# Then what a Linux user waits for when a file manager opens a disk image: ext4 images that mke2fs -d
# makes from the folder devices and from a real tree of this machine (/usr/share/doc, or
# $KOVOX_BENCH_REAL_TREE). For each, kovox's wall time, its floor, the trivial loop (the same
# command texts with a trivial static program in the tool's place) and 7-Zip's listing of the image
# in its own process, with kovox's listing checked entry by entry against 7-Zip's; the tool started
# directly against a trivial static program; and where each folder's time goes.
#
# About 25 minutes on two busy cores, most of it at 10,000 folders. Exits non-zero when a listing
# is incomplete, a run crashes or leaves a temporary file behind; a missed performance target is
# printed, not an error. Not part of the test command. KOVOX_BENCH_QUICK=1 tries the benchmark
# itself without the 10,000 folders, in about four minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench

sizes=(100 1000 10000)
# Interleaved kovox/floor pairs per size: fewer where one run takes half a minute. Three pairs at
# 10,000 folders, so that the median stands when other work on the machine slows one run; more
# pairs narrow the spread at the cost of half a minute a run, e.g. KOVOX_BENCH_PAIRS="16 6 5".
read -r -a pairs <<<"${KOVOX_BENCH_PAIRS:-16 6 3}"
startup_runs=300    # interpreter runs per start-up figure, three times over
# Ext4 images: one from each folder device above and one from a real tree of this machine. Rounds of
# kovox, its floor and the trivial loop per image (the sizes' order, the real tree last), and runs
# of 7-Zip's listing per image.
real_tree=${KOVOX_BENCH_REAL_TREE:-/usr/share/doc}
read -r -a image_pairs <<<"${KOVOX_BENCH_IMAGE_PAIRS:-12 5 3 7}"
seven_zip_runs=9
spawn_rounds=5 spawn_runs=500  # the tool and a trivial program started directly, taking turns
if [ -n "${KOVOX_BENCH_QUICK:-}" ]; then
  sizes=(100 1000) pairs=(4 2) startup_runs=50
  image_pairs=(3 2 3) seven_zip_runs=3 spawn_rounds=3 spawn_runs=200
fi
device_layout=1     # bump when a make_*_device function changes, so that old devices are remade

build=$PWD/build/bench
devices=$build/devices
results=$build/results
record_library=$build/bench/libkovox_bench_record.so

echo "Building in build/bench ..."
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVOX_SANITIZE=OFF >/dev/null
cmake --build "$build" --target kovox_bench >/dev/null

rm -rf "$results"
mkdir -p "$devices" "$results"
temp_root=$(mktemp -d /tmp/kvb.XXXXXX)  # short: the temporary file's path counts against the limits
trap 'rm -rf "$temp_root"' EXIT
export KOVO_DEVICES=$devices
cd "$build"  # kovox finds kovont.exe in its current directory, as on Windows

# Checks fail into a file, since some run in subshells; the run goes on and exits non-zero at the end.
failures=$results/failures
: >"$failures"
fail() { echo "FAILED: $*" | tee -a "$failures" >&2; }
failure_count() { wc -l <"$failures"; }

# --- devices ---------------------------------------------------------------------------------
# N folders: 10 top folders with N/10-1 folders inside each, so that every size has the same depth
# and only the number of folders (and the width of the top folders) changes; 10 empty files in
# every folder and in the root. 11N+10 entries, N+1 tool runs.
make_folders_device() {
  local folder=$1 count=$2
  rm -rf "$folder" && mkdir -p "$folder"
  awk -v n="$count" -v root="$folder" 'BEGIN {
      for (t = 0; t < 10; t++) {
        print root "/dir" t
        for (s = 0; s < n / 10 - 1; s++) printf "%s/dir%d/dir%03d\n", root, t, s
      }
    }' >"$folder.folders"
  tr '\n' '\0' <"$folder.folders" | xargs -0 mkdir -p
  { echo "$folder"; cat "$folder.folders"; } |
    awk '{ for (f = 0; f < 10; f++) printf "%s/file%d.dat%c", $0, f, 0 }' | xargs -0 touch
  rm -f "$folder.folders"
}

# A chain of 150 folders named "d", each also holding a file "f" and a file with a longer name:
# paths reach 300 characters, well past the last folder whose command text still fits (about the
# 120th with the benchmark's temporary directory). All above that point must be listed, the
# longer-named files only while their path fits in 259 characters, and nothing may break below.
make_deep_device() {
  local folder=$1 levels=150 path
  rm -rf "$folder" && mkdir -p "$folder"
  path=$folder
  for ((level = 0; level < levels; level++)); do
    touch "$path/f" "$path/file-with-a-longer-name.txt"
    path=$path/d
    mkdir "$path"
  done
}

make_device() {  # name maker [arguments after the folder]
  local name=$1 maker=$2
  shift 2
  [ "$(cat "$devices/$name.layout" 2>/dev/null)" = "$device_layout" ] && return
  echo "Making device $name ..."
  "$maker" "$devices/$name" "$@"
  echo "$device_layout" >"$devices/$name.layout"
}
for size in "${sizes[@]}"; do make_device "folders$size" make_folders_device "$size"; done
make_device deep make_deep_device
mkdir -p "$devices/empty"

# An ext4 image of a folder, as mke2fs -d makes it with its defaults for that size; remade when the
# folder changes. NAME.img is the device NAME, so an image never shadows a folder device.
make_image() {  # name folder
  local name=$1 folder=$2 entries used stamp
  entries=$(find "$folder" | wc -l)
  used=$(du -sk "$folder" | cut -f1)
  stamp="$device_layout $entries $used"
  [ -f "$devices/$name.img" ] && [ "$(cat "$devices/$name.img.layout" 2>/dev/null)" = "$stamp" ] && return
  echo "Making image $name from $folder ..."
  rm -f "$devices/$name.img"
  # Room for the data, a directory block and an inode for every entry, and the journal.
  mke2fs -q -F -t ext4 -N $((entries + 1024)) -d "$folder" "$devices/$name.img" \
    "$((used * 3 / 2 + entries + 65536))k"
  echo "$stamp" >"$devices/$name.img.layout"
}
image_names=()
for size in "${sizes[@]}"; do
  make_image "ext$size" "$devices/folders$size"
  image_names+=("ext$size")
done
make_image realtree "$real_tree"
image_names+=(realtree)

# --- helpers ---------------------------------------------------------------------------------
now() { echo "${EPOCHREALTIME/,/.}"; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.6f", b - a }'; }
median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
four_places() { awk '{ printf "%.4f", $1 }'; }
longest_line() { awk '{ if (length($0) > m) m = length($0) } END { print m + 0 }'; }
minimum() { sort -g | head -1; }
maximum() { sort -g | tail -1; }
spread_of() { echo "$(minimum <"$1")..$(maximum <"$1")"; }  # "lowest..highest" of a file's numbers
lines_of() { wc -l <"$1"; }

# A fresh temporary directory for one device, as TEMP; kovox must leave it empty.
fresh_temp() {
  rm -rf "$temp_root/t" && mkdir "$temp_root/t"
  export TEMP=$temp_root/t
}
check_temp_empty() {
  [ -z "$(ls -A "$TEMP")" ] || fail "$1 left files in the temporary directory: $(ls -A "$TEMP" | head -3)"
}

# Checks a finished kovox run of a device: its exit status, its lines, its temporary directory.
check_kovox_run() {  # name output status
  local name=$1 output=$2 status=$3
  [ "$status" -eq 0 ] || fail "kovox $name ended with status $status"
  [ "$(lines_of "$output")" -eq "$(lines_of "$results/$name.expected")" ] ||
    fail "kovox $name printed $(lines_of "$output") lines, not $(lines_of "$results/$name.expected")"
  check_temp_empty "kovox $name"
}

# Runs kovox (under an optional prefix command) for a device, standard output into a file, as a
# caller that parses the listing afterwards would, and checks the run.
run_kovox() {  # name output [prefix command...]
  local name=$1 output=$2 status=0
  shift 2
  "$@" ./kovox "$name.img" >"$output" || status=$?
  check_kovox_run "$name" "$output" "$status"
}

# Timed runs start at real-time priority where the benchmark may set it (as root): the interpreter
# and the tool inherit it, so other work on the machine delays the chain of processes far less.
# kovox and the floor run alike; each runs one process at a time and mostly waits, so no core is
# held for long.
realtime=()
if command -v chrt >/dev/null 2>&1 && chrt -f 10 true 2>/dev/null; then realtime=(chrt -f 10); fi

# The wall time of one command into $elapsed (seconds) and its exit status into $timed_status,
# with nothing but the command between the two clock readings.
timed() {
  local start=$EPOCHREALTIME end
  timed_status=0
  "${realtime[@]}" "$@" || timed_status=$?
  end=$EPOCHREALTIME
  elapsed=$(awk -v a="${start/,/.}" -v b="${end/,/.}" 'BEGIN { printf "%.6f", b - a }')
}

# The record run, untimed: kovox with bench/record_system.cpp preloaded. Checks every printed line
# (type and path) against the listing worked out from the device folder, and the directories the
# tool ran for against those the walk must enter; keeps the command texts for the floor, the stack
# address at each tool run and the stack's high-water mark.
record_and_check() {  # name
  local name=$1
  ./kovox_bench_expect "$devices/$name" "$name" "$TEMP" "$results/$name.expected" "$results/$name.runs" ||
    fail "cannot work out the expected listing of $name"
  run_kovox "$name" "$results/$name.listing" \
    env KOVOX_BENCH_RECORD="$results/$name.record" LD_PRELOAD="$record_library"
  grep -v '^#' "$results/$name.record" | cut -f2- >"$results/$name.commands"
  awk '{ print substr($0, 1, 1) " " substr($0, 47) }' "$results/$name.listing" >"$results/$name.printed"
  cmp -s "$results/$name.printed" "$results/$name.expected" ||
    fail "kovox's listing of $name is not the device's (diff $results/$name.printed $results/$name.expected)"
  sed -n 's/.* -s\/dev\/[^ ]* "\(.*\)" > ".*/\1/p' "$results/$name.commands" >"$results/$name.ran"
  cmp -s "$results/$name.ran" "$results/$name.runs" ||
    fail "kovox ran the tool for other directories of $name than it must" \
      "(diff $results/$name.ran $results/$name.runs)"
}
recorded_peak() {  # name heap|stack -> bytes
  local peak
  peak=$(sed -n "s/^#peak-$2 //p" "$results/$1.record")
  [[ "$peak" =~ ^[0-9]+$ ]] || fail "no peak $2 recorded for $1 ('$peak')"
  echo "${peak:-0}"
}

# The stack address recorded at each depth's tool run: kovox calls system() from the same place at
# every level, so the difference between two depths is exactly the stack of the levels between.
stack_per_level() {  # name -> "bytes_per_level deepest_depth same_at_every_level(yes|no)"
  awk -F'\t' '!/^#/ { match($2, /kovoxtmp\.[0-9]+/); d = substr($2, RSTART + 9, RLENGTH - 9) + 0
                      if (!(d in a)) a[d] = $1; if (d > m) m = d }
       END { step = a[0] - a[1]; same = "yes"
             for (d = 1; d <= m; d++) if (a[d - 1] - a[d] != step) same = "no"
             print step, m, same }' "$results/$1.record"
}

# kovox's own instructions, its children not traced.
own_instructions() {  # name -> instructions
  run_kovox "$1" "$results/$1.callgrind.listing" \
    valgrind -q --tool=callgrind --trace-children=no --callgrind-out-file="$results/$1.callgrind"
  awk '/^(summary|totals):/ { print $2; exit }' "$results/$1.callgrind"
}

# Massif's view of kovox's peaks, to set beside the recorder's: heap with the allocator's overhead
# at the peak snapshot, and the largest stack of any snapshot.
massif_peaks() {  # name -> "heap stack" in bytes
  run_kovox "$1" "$results/$1.massif.listing" valgrind -q --tool=massif --stacks=yes --peak-inaccuracy=0 \
    --trace-children=no --massif-out-file="$results/$1.massif"
  awk -F= '/^mem_heap_B=/ { h = $2 } /^mem_heap_extra_B=/ { if (h + $2 > p) p = h + $2 }
           /^mem_stacks_B=/ { if ($2 > s) s = $2 } END { print p + 0, s + 0 }' "$results/$1.massif"
}

# --- the folder devices ----------------------------------------------------------------------
date_text=$(date '+%Y-%m-%d %H:%M %Z')
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
bench_start=$(now)

declare -A wall floor ratio spread instr heap stack entries tool_runs
for index in "${!sizes[@]}"; do
  size=${sizes[$index]}
  name=folders$size
  echo "Measuring $name: $((size + 1)) tool runs a listing, ${pairs[$index]} pairs ..."
  fresh_temp
  record_and_check "$name"  # also brings the device folder into the page cache
  entries[$size]=$(lines_of "$results/$name.expected")
  tool_runs[$size]=$(lines_of "$results/$name.commands")

  : >"$results/$name.times"
  # Pairs alternate which side runs first (kovox, floor, floor, kovox, kovox, floor, ...), so that a
  # machine whose other load rises or falls during the pairs weighs on both sides alike.
  for ((pair = 0; pair < ${pairs[$index]}; pair++)); do
    order=(kovox floor)
    if ((pair % 2 == 1)); then order=(floor kovox); fi
    for side in "${order[@]}"; do
      if [ "$side" = kovox ]; then
        timed ./kovox "$name.img" >"$results/$name.out"
        check_kovox_run "$name" "$results/$name.out" "$timed_status"
        kovox_time=$elapsed
      else
        timed ./kovox_bench_floor "$results/$name.commands"
        [ "$timed_status" -eq 0 ] || fail "the floor of $name failed"
        check_temp_empty "the floor of $name"
        floor_time=$elapsed
      fi
    done
    echo "$kovox_time $floor_time" >>"$results/$name.times"
  done
  wall[$size]=$(cut -d' ' -f1 "$results/$name.times" | median)
  floor[$size]=$(cut -d' ' -f2 "$results/$name.times" | median)
  awk '{ printf "%.4f\n", $1 / $2 }' "$results/$name.times" >"$results/$name.ratios"
  ratio[$size]=$(median <"$results/$name.ratios")
  spread[$size]=$(spread_of "$results/$name.ratios")

  instr[$size]=$(own_instructions "$name")
  heap[$size]=$(recorded_peak "$name" heap)
  stack[$size]=$(recorded_peak "$name" stack)
done

# --- the deep device -------------------------------------------------------------------------
echo "Measuring the deep device ..."
failures_before_deep=$(failure_count)
fresh_temp
record_and_check deep
deep_entries=$(lines_of "$results/deep.expected")
deep_runs=$(lines_of "$results/deep.commands")
deep_longest_path=$(longest_line <"$results/deep.ran")
# The command text as kovox builds it, without what the POSIX layer puts in front for the shell.
deep_longest_command=$(sed 's/^PATH=[^;]*; //' "$results/deep.commands" | longest_line)
deep_status=0
valgrind -q --tool=memcheck --error-exitcode=99 --trace-children=no ./kovox deep.img \
  >"$results/deep.memcheck.listing" 2>"$results/deep.memcheck" || deep_status=$?
[ "$deep_status" -eq 0 ] ||
  fail "kovox under memcheck on the deep device: status $deep_status (see $results/deep.memcheck)"
cmp -s "$results/deep.memcheck.listing" "$results/deep.listing" ||
  fail "kovox under memcheck listed the deep device otherwise"
check_temp_empty "kovox deep under memcheck"
read -r stack_step deep_depth stack_uniform < <(stack_per_level deep)
deep_heap=$(recorded_peak deep heap)
deep_stack=$(recorded_peak deep stack)
read -r massif_deep_heap massif_deep_stack < <(massif_peaks deep)
deep_failures=$(($(failure_count) - failures_before_deep))
read -r massif_heap massif_stack < <(massif_peaks "folders${sizes[0]}")
# Against the smallest device, per level deeper: the high-water marks and the heap.
read -r _ shallow_depth _ < <(stack_per_level "folders${sizes[0]}")
per_level() {
  awk -v a="$1" -v b="$2" -v d="$((deep_depth - shallow_depth))" 'BEGIN { printf "%.0f", (a - b) / d }'
}
stack_mark_step=$(per_level "$deep_stack" "${stack[${sizes[0]}]}")
heap_step=$(per_level "$deep_heap" "${heap[${sizes[0]}]}")

# --- the tool's start-up ---------------------------------------------------------------------
# The root's listing command of the smallest device, run through the interpreter as it is and with
# the tool replaced: by the shell's no-op built-in (the interpreter alone), by a trivial static
# program, and by the tool for an empty device.
echo "Measuring the tool's start-up ..."
fresh_temp
typical=$(head -1 "$results/folders${sizes[0]}.commands")
declare -A start_text=(
  [interpreter]=${typical/kovont.exe/:}
  [trivial]=${typical/kovont.exe/kovox_bench_trivial}
  [empty]=${typical/-s\/dev\/folders${sizes[0]}/-s\/dev\/empty}
  [typical]=$typical
)
start_kinds=(interpreter trivial empty typical)
for kind in "${start_kinds[@]}"; do
  for ((i = 0; i < startup_runs; i++)); do echo "${start_text[$kind]}"; done >"$results/startup.$kind"
  : >"$results/startup.$kind.times"
done
for ((round = 0; round < 3; round++)); do
  for kind in "${start_kinds[@]}"; do
    timed ./kovox_bench_floor "$results/startup.$kind"
    [ "$timed_status" -eq 0 ] || fail "the start-up runs '$kind' failed"
    echo "$elapsed" >>"$results/startup.$kind.times"
  done
done
declare -A per_start
for kind in "${start_kinds[@]}"; do
  per_start[$kind]=$(median <"$results/startup.$kind.times" |
    awk -v n="$startup_runs" '{ printf "%.3f", $1 * 1000 / n }')
done

# --- the images ------------------------------------------------------------------------------
# What 7-Zip reads in an image, as kovox must print it: the type and path of every entry, sorted;
# without 7-Zip's own "[SYS]" entries (the journal) and without what lies below the root's "dev",
# which kovox prints but does not enter. Links are plain entries, whatever they point to.
seven_zip_listing() {  # image
  7zz l -slt "$1" | awk '/^----------$/ { entries = 1; next }
      entries && /^Path = / { path = substr($0, 8) }
      entries && /^Mode = / { print (substr($0, 8, 1) == "d" ? "d" : "-") " " path }' |
    { grep -v -e '^. \[SYS\]$' -e '^. \[SYS\]/' -e '^. dev/' || true; } | LC_ALL=C sort
}

# The record run of an image, untimed: every entry 7-Zip reads in the image must be printed, once,
# and the tool must run once for the root and each folder kovox enters.
record_and_check_image() {  # name
  local name=$1 folders
  seven_zip_listing "$devices/$name.img" >"$results/$name.expected"
  [ -s "$results/$name.expected" ] || fail "7-Zip read no entries in $name.img"
  run_kovox "$name" "$results/$name.listing" \
    env KOVOX_BENCH_RECORD="$results/$name.record" LD_PRELOAD="$record_library"
  grep -v '^#' "$results/$name.record" | cut -f2- >"$results/$name.commands"
  awk '{ print substr($0, 1, 1) " " substr($0, 47) }' "$results/$name.listing" | LC_ALL=C sort \
    >"$results/$name.printed"
  cmp -s "$results/$name.printed" "$results/$name.expected" ||
    fail "kovox's listing of $name is not what 7-Zip reads in the image" \
      "(diff $results/$name.printed $results/$name.expected)"
  folders=$(grep -c -v -x -e '- .*' -e 'd dev' "$results/$name.expected" || true)
  [ "$(lines_of "$results/$name.commands")" -eq $((folders + 1)) ] ||
    fail "kovox ran the tool $(lines_of "$results/$name.commands") times for $name, not $((folders + 1))"
}

# Per image, in pairs that alternate the order: kovox; its floor (kovox's own command texts run
# back to back); and the trivial loop, the same texts with the tool replaced by a trivial static
# program (the interpreter, one program and one file per folder: the least this design can cost).
# Then 7-Zip listing the image in its own process, the in-process reference.
echo "Measuring the images ..."
declare -A image_wall image_floor image_loop image_ratio image_spread image_loop_ratio image_loop_spread
declare -A image_7z image_runs image_entries
for index in "${!image_names[@]}"; do
  name=${image_names[$index]}
  fresh_temp
  record_and_check_image "$name"
  image_entries[$name]=$(lines_of "$results/$name.expected")
  image_runs[$name]=$(lines_of "$results/$name.commands")
  sed 's/kovont\.exe/kovox_bench_trivial/' "$results/$name.commands" >"$results/$name.loop"
  echo "  $name: ${image_runs[$name]} tool runs a listing, ${image_pairs[$index]} rounds ..."
  : >"$results/$name.times"
  for ((pair = 0; pair < image_pairs[index]; pair++)); do
    order=(kovox floor loop)
    if ((pair % 2 == 1)); then order=(loop floor kovox); fi
    for side in "${order[@]}"; do
      case $side in
        kovox)
          timed ./kovox "$name.img" >"$results/$name.out"
          check_kovox_run "$name" "$results/$name.out" "$timed_status"
          kovox_time=$elapsed ;;
        *)
          timed ./kovox_bench_floor "$results/$name.${side/floor/commands}"
          [ "$timed_status" -eq 0 ] || fail "the $side of $name failed"
          check_temp_empty "the $side of $name"
          if [ "$side" = floor ]; then floor_time=$elapsed; else loop_time=$elapsed; fi ;;
      esac
    done
    echo "$kovox_time $floor_time $loop_time" >>"$results/$name.times"
  done
  image_wall[$name]=$(cut -d' ' -f1 "$results/$name.times" | median)
  image_floor[$name]=$(cut -d' ' -f2 "$results/$name.times" | median)
  image_loop[$name]=$(cut -d' ' -f3 "$results/$name.times" | median)
  awk '{ printf "%.4f\n", $1 / $2 }' "$results/$name.times" >"$results/$name.ratios"
  awk '{ printf "%.4f\n", $1 / $3 }' "$results/$name.times" >"$results/$name.loop-ratios"
  image_ratio[$name]=$(median <"$results/$name.ratios" | four_places)
  image_spread[$name]=$(spread_of "$results/$name.ratios")
  image_loop_ratio[$name]=$(median <"$results/$name.loop-ratios" | four_places)
  image_loop_spread[$name]=$(spread_of "$results/$name.loop-ratios")

  : >"$results/$name.7z.times"
  for ((i = 0; i < seven_zip_runs; i++)); do
    timed 7zz l "$devices/$name.img" >/dev/null
    [ "$timed_status" -eq 0 ] || fail "7zz l $name.img ended with status $timed_status"
    echo "$elapsed" >>"$results/$name.7z.times"
  done
  image_7z[$name]=$(median <"$results/$name.7z.times")
done

# The tool's start-up against a trivial static program, each started directly (fork, exec, output
# into a file) with the arguments of one of kovox's tool runs on the real tree: the first folder
# below the root other than lost+found, so the tool also looks its way through the root, the
# widest folder. In each round the two take turns run by run, and each gives the median of its runs;
# the ratio is the median of the rounds'.
echo "Measuring the tool's start-up, started directly ..."
fresh_temp
IFS=$'\t' read -r spawn_device spawn_path < <(
  sed -n 's/.*kovont\.exe \(-s\/dev\/[^ ]*\) "\(\/[^/]*\/\)" > ".*/\1\t\2/p' "$results/realtree.commands" |
    grep -v -m1 $'\t/lost+found/$')
: >"$results/spawn.times"
for ((round = 0; round < spawn_rounds; round++)); do
  # Two lines: the trivial program's median run and the tool's, in milliseconds.
  "${realtime[@]}" ./kovox_bench_spawn "$spawn_runs" "$TEMP/spawned" ./kovox_bench_trivial "$spawn_device" \
    "$spawn_path" -- ./kovont.exe "$spawn_device" "$spawn_path" | paste -s -d' ' >>"$results/spawn.times" ||
    fail "starting the tool or the trivial program directly failed"
done
spawn_trivial_ms=$(cut -d' ' -f1 "$results/spawn.times" | median | awk '{ printf "%.3f", $1 }')
spawn_tool_ms=$(cut -d' ' -f2 "$results/spawn.times" | median | awk '{ printf "%.3f", $1 }')
awk '{ printf "%.4f\n", $2 / $1 }' "$results/spawn.times" >"$results/spawn.ratios"
spawn_ratio=$(median <"$results/spawn.ratios" | four_places)
spawn_spread=$(spread_of "$results/spawn.ratios")
bench_seconds=$(seconds_since "$bench_start")
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the table -------------------------------------------------------------------------------
ms_per() { awk -v t="$1" -v n="$2" 'BEGIN { printf "%.3f", t * 1000 / n }'; }
kib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1024 }'; }
per_entry() { awk -v i="$1" -v n="$2" 'BEGIN { printf "%.0f", i / n }'; }
met() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "NOT MET"; fi; }

echo
echo "kovox benchmark, $date_text; $(nproc) CPUs; /bin/sh is $(basename "$(readlink -f /bin/sh)");" \
  "load average $load_start at the start, $load_end at the end; $(printf '%.0f' "$bench_seconds") s"
priority="normal priority"
[ ${#realtime[@]} -eq 0 ] || priority="real-time priority (${realtime[*]})"
echo "timed runs at $priority"
awk -v l="${load_start%% *}" 'BEGIN { exit !(l > 0.5) }' &&
  echo "(other work was running: wall times are noisier; instructions and memory are not)"
echo
printf '%-12s %8s %6s %9s %9s %8s %8s  %s\n' device entries "tool" "kovox" "floor" "kovox" "floor" "kovox/floor"
printf '%-12s %8s %6s %9s %9s %8s %8s  %s\n' "" "" "runs" "s" "s" "ms/run" "ms/run" "median [min..max] (pairs)"
for index in "${!sizes[@]}"; do
  size=${sizes[$index]}
  printf '%-12s %8d %6d %9.3f %9.3f %8.3f %8.3f  %.4f [%s] (%d)\n' "folders$size" "${entries[$size]}" \
    "${tool_runs[$size]}" "${wall[$size]}" "${floor[$size]}" "$(ms_per "${wall[$size]}" "${tool_runs[$size]}")" \
    "$(ms_per "${floor[$size]}" "${tool_runs[$size]}")" "${ratio[$size]}" "${spread[$size]}" "${pairs[$index]}"
done
echo
printf '%-12s %8s %6s %12s %10s %10s %10s %10s\n' \
  device entries depth "own instr" "instr" "peak heap" "peak stack" "heap+stack"
printf '%-12s %8s %6s %12s %10s %10s %10s %10s\n' "" "" "" "" "/entry" "KiB" "KiB" "KiB"
for size in "${sizes[@]}"; do
  read -r _ depth _ < <(stack_per_level "folders$size")
  printf '%-12s %8d %6d %12d %10s %10s %10s %10s\n' "folders$size" "${entries[$size]}" "$depth" "${instr[$size]}" \
    "$(per_entry "${instr[$size]}" "${entries[$size]}")" "$(kib "${heap[$size]}")" "$(kib "${stack[$size]}")" \
    "$(kib $((heap[$size] + stack[$size])))"
done
printf '%-12s %8d %6d %12s %10s %10s %10s %10s\n' deep "$deep_entries" "$deep_depth" "" "" "$(kib "$deep_heap")" \
  "$(kib "$deep_stack")" "$(kib $((deep_heap + deep_stack)))"
echo
memcheck="no error"
[ "$deep_status" -eq 0 ] || memcheck="FAILED (status $deep_status)"
echo "deep device: $deep_entries entries, as worked out from its folder; $deep_runs tool runs, down to depth $deep_depth"
echo "  longest directory path run: $deep_longest_path characters; longest command text: $deep_longest_command (limit 299)"
echo "  kovox under memcheck: $memcheck"
echo "stack per depth level: $stack_step bytes at each tool run (the same at all $deep_depth levels: $stack_uniform)"
echo "  from the high-water marks: $stack_mark_step bytes a level; heap: $heap_step bytes a level (an open file each)"
echo "  massif, for comparison: folders${sizes[0]} heap $(kib "$massif_heap") KiB, stack $(kib "$massif_stack") KiB;" \
  "deep heap $(kib "$massif_deep_heap") KiB, stack $(kib "$massif_deep_stack") KiB"
echo "one tool run through the interpreter, ms (median of 3 x $startup_runs runs):"
printf '  %-44s %6s\n' "interpreter alone (its no-op built-in)" "${per_start[interpreter]}" \
  "trivial static program" "${per_start[trivial]}" \
  "kovont.exe listing an empty device" "${per_start[empty]}" \
  "kovont.exe listing 10 folders and 10 files" "${per_start[typical]}" \
  "the tool's own start-up (empty - trivial)" \
  "$(awk -v a="${per_start[empty]}" -v b="${per_start[trivial]}" 'BEGIN { printf "%.3f", a - b }')"
echo
echo "ext4 images (mke2fs -d): ext<N> from the folder device of N folders, realtree from $real_tree"
printf '%-9s %6s %7s %8s %8s %7s  %-27s %8s  %-27s %7s %5s\n' image folders entries kovox floor kovox \
  kovox/floor "loop" "kovox/loop" "7zz l" "like"
printf '%-9s %6s %7s %8s %8s %7s  %-27s %8s  %-27s %7s %5s\n' "" "" "" s s ms/fold "median [min..max] (pairs)" \
  s "median [min..max]" s "7-Zip"
for index in "${!image_names[@]}"; do
  name=${image_names[$index]}
  like=yes
  cmp -s "$results/$name.printed" "$results/$name.expected" || like=NO
  printf '%-9s %6d %7d %8.3f %8.3f %7.3f  %-27s %8.3f  %-27s %7.3f %5s\n' "$name" "${image_runs[$name]}" \
    "${image_entries[$name]}" "${image_wall[$name]}" "${image_floor[$name]}" \
    "$(ms_per "${image_wall[$name]}" "${image_runs[$name]}")" \
    "${image_ratio[$name]} [${image_spread[$name]}] (${image_pairs[$index]})" "${image_loop[$name]}" \
    "${image_loop_ratio[$name]} [${image_loop_spread[$name]}]" "${image_7z[$name]}" "$like"
done
echo "  floor: kovox's own command texts run back to back through system(); loop: the same texts with a"
echo "  trivial static program in the tool's place; like 7-Zip: every entry 7zz reads in the image printed"
echo "the tool started directly, ms a run (median of $spawn_rounds rounds of $spawn_runs runs each, taking turns;" \
  "arguments $spawn_device \"$spawn_path\"):"
printf '  %-44s %6s\n' "trivial static program" "$spawn_trivial_ms" "kovont.exe listing the folder" "$spawn_tool_ms"
printf '  %-44s %6s [%s]\n' "kovont.exe / trivial (median of the rounds)" "$spawn_ratio" "$spawn_spread"
real_ms() { ms_per "$1" "${image_runs[realtree]}"; }
split_row() { printf '  %-52s %6.3f\n' "$1" "$2"; }
echo "where a folder of realtree goes, ms per folder:"
split_row "starting a trivial static program (fork, exec)" "$spawn_trivial_ms"
split_row "the interpreter and its redirection around it" \
  "$(awk -v a="$(real_ms "${image_loop[realtree]}")" -v b="$spawn_trivial_ms" 'BEGIN { print a - b }')"
split_row "the stand-in tool, beyond a trivial program" \
  "$(awk -v a="$(real_ms "${image_floor[realtree]}")" -v b="$(real_ms "${image_loop[realtree]}")" 'BEGIN { print a - b }')"
split_row "kovox's own work" \
  "$(awk -v a="$(real_ms "${image_wall[realtree]}")" -v b="$(real_ms "${image_floor[realtree]}")" 'BEGIN { print a - b }')"
split_row "kovox, all of it" "$(real_ms "${image_wall[realtree]}")"
echo "  kovox per folder is $(awk -v a="$(real_ms "${image_wall[realtree]}")" -v b="$spawn_trivial_ms" \
  'BEGIN { printf "%.2f", a / b }') times a plain fork and exec of a trivial static program"
echo


worst_ratio=$(for size in "${sizes[@]}"; do echo "${ratio[$size]}"; done | maximum)
worst_instr=$(for size in "${sizes[@]}"; do per_entry "${instr[$size]}" "${entries[$size]}"; echo; done | maximum)
lowest=$(for size in "${sizes[@]}"; do echo $((heap[$size] + stack[$size])); done | minimum)
highest=$(for size in "${sizes[@]}"; do echo $((heap[$size] + stack[$size])); done | maximum)
echo "target: kovox/floor <= 1.03 at every size (worst median $worst_ratio): $(met "$worst_ratio <= 1.03")"
echo "target: own instructions per entry <= 5,000 (worst $worst_instr): $(met "$worst_instr <= 5000")"
echo "target: peak memory flat from ${sizes[0]} to ${sizes[-1]} folders ($lowest to $highest bytes):" \
  "$(met "$highest - $lowest <= 1024")"
echo "target: the deep device lists completely, with no crash: $(met "$deep_failures == 0")"
echo "target: the tool started directly <= 1.2 x a trivial static program (median $spawn_ratio):" \
  "$(met "$spawn_ratio <= 1.2")"
echo "target: kovox over realtree <= 1.4 x the trivial loop (median ${image_loop_ratio[realtree]}):" \
  "$(met "${image_loop_ratio[realtree]} <= 1.4")"
echo "(listings, records and valgrind files: build/bench/results)"
if [ "$(failure_count)" -ne 0 ]; then
  echo "$(failure_count) check(s) failed: see above and build/bench/results/failures" >&2
  exit 1
fi
