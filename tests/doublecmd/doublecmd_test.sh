#!/usr/bin/env bash
# Double Commander, as a person uses it, opening a disk image through the shipped MultiArc section
# (contrib/multiarc/kovox-linux.ini). It runs under Xvfb on a fresh configuration folder holding
# only that section, driven by xdotool. The image, named with a space and capitals, holds folders,
# a read-only file, names with spaces and non-ASCII letters, a file whose size takes 14 digits,
# one more than kovox's size column, so its line is shifted right, and one dated 2150. Enter opens
# the image; every shown column of its root, copied to the clipboard, must read exactly as
# expected; F5 copies the folder "Papers" out, and the copy must match its source tree byte for
# byte. A screenshot of the opened image is kept in the build folder as doublecmd_screen.png.
# With "vhdx", the same file system is opened as WSL2 keeps a distribution: an ext4.vhdx, dynamic,
# with 1 MiB blocks and no partition table, written by qemu-img (doublecmd_screen_vhdx.png).
#   doublecmd_test.sh BUILD_DIR SOURCE_DIR MKE2FS DEBUGFS [vhdx]
set -euo pipefail
build=$1
source=$2
mke2fs=$3
debugfs=$4
container=${5:-}
programs=(doublecmd Xvfb xdotool xclip import)
[ -n "$container" ] && programs+=(qemu-img)
for program in "${programs[@]}"; do
  command -v "$program" >/dev/null ||
    { echo "doublecmd_test: $program is not installed (scripts/setup.sh test installs it)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kovox-doublecmd-test.XXXXXX")
# Xvfb and Double Commander each run under "timeout", which makes a process group of its own,
# holding the program and everything it starts; the teardown ends each group.
source "$source/tests/end_processes.sh"
process_groups=()
cleanup() {
  end_processes "${process_groups[@]}"
  rm -rf "$work" 2>/dev/null || true
}
trap cleanup EXIT
fail() {
  echo "doublecmd_test: $*" >&2
  timeout -k 2 20 import -window root "$build/doublecmd_failure.png" || true
  echo "doublecmd_test: the screen is in $build/doublecmd_failure.png; Double Commander's log:" >&2
  tail -n 30 "$work/doublecmd.log" >&2 || true
  exit 1
}

# The image's source tree.
tree=$work/tree
mkdir -p "$tree/Papers/Sub Folder/deeper" "$tree/Papers/empty" "$work/images" "$work/out" \
  "$work/config" "$work/home"
printf 'Dear Bob,\n' > "$tree/Papers/letter to bob.txt"
printf 'Café au lait.\n' > "$tree/Papers/café.txt"
printf 'nested\n' > "$tree/Papers/Sub Folder/deeper/notes.txt"
for byte in $(seq 0 255); do printf "\\$(printf '%03o' "$byte")"; done > "$tree/Papers/every byte.bin"
printf 'Crème brûlée.\n' > "$tree/crème brûlée.txt"
printf 'read only\n' > "$tree/read only.txt"
chmod 444 "$tree/read only.txt"
: > "$tree/huge.raw"
printf 'from 2150\n' > "$tree/future.txt"
find "$tree" -depth -exec touch -h -d "2026-01-02 03:04:05 UTC" {} +
image="$work/images/Test Image.IMG"
"$mke2fs" -q -F -t ext4 -b 4096 -I 256 -d "$tree" "$image" 16M >/dev/null
# huge.raw gets a size of 14 digits, all of it a hole; future.txt a year Double Commander refuses
# as a date; lost+found the time of everything else.
"$debugfs" -w -f - "$image" >/dev/null 2>&1 <<'COMMANDS'
sif /huge.raw size 12345678901234
sif /future.txt mtime 21500607080910
sif /lost+found mtime 20260102030405
COMMANDS
shown_name="Test Image.IMG"
screen=$build/doublecmd_screen.png
if [ "$container" = vhdx ]; then
  qemu-img convert -f raw -O vhdx -o subformat=dynamic,block_size=1M "$image" "$work/images/ext4.vhdx"
  rm "$image"
  image="$work/images/ext4.vhdx"
  shown_name=ext4.vhdx
  screen=$build/doublecmd_screen_vhdx.png
fi

# A fresh configuration: only the shipped section. kovox-image, kovox and the tool come from PATH.
cp "$source/contrib/multiarc/kovox-linux.ini" "$work/config/multiarc.ini"
timeout -k 2 170 Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp \
  3>"$work/display" >"$work/xvfb.log" 2>&1 &
process_groups+=("-$!" "$!")
for _ in $(seq 300); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(cat "$work/display")"
env HOME="$work/home" LANG=C.UTF-8 LC_ALL=C.UTF-8 PATH="$build:$PATH" \
  timeout -k 2 160 doublecmd --config-dir="$work/config" "$work/images" "$work/out" \
  >"$work/doublecmd.log" 2>&1 &
process_groups+=("-$!" "$!")

# Prints the first shown window whose title starts with the text given, waiting up to a minute.
shown_window() {
  local found
  for _ in $(seq 300); do
    found=$(xdotool search --onlyvisible --name "^$1" 2>/dev/null | head -n 1) || true
    [ -n "$found" ] && { echo "$found"; return 0; }
    sleep 0.2
  done
  fail "no window titled \"$1\" appeared"
}
window=$(shown_window "Double Commander")
# Room for every entry and column in the screenshot.
xdotool windowsize "$window" 1200 640

# Keys reach the panel only after a click on it. The points are in the window, on a row of the left
# panel: the first file row of a folder, the [..] row inside the image.
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep 0.2; }
keys() { xdotool key --delay 100 "$@"; sleep 0.3; }
clipboard() { timeout -k 1 5 xclip -o -selection clipboard 2>/dev/null || true; }
# Repeats an action until the clipboard holds the text expected: the window may still be busy.
until_clipboard() {
  local expected=$1
  shift
  for _ in $(seq 30); do
    "$@"
    [ "$(clipboard)" = "$expected" ] && return 0
    sleep 0.5
  done
  fail "the clipboard never held what was expected; the difference (expected, then held):
$(diff <(printf '%s\n' "$expected") <(clipboard; echo) || true)"
}
names_of_cursor() { click 80 232; keys End ctrl+shift+x; }
shown_columns() { click 120 216; keys ctrl+a alt+m c; }
cursor_to_papers() {
  click 120 216
  keys ctrl+KP_Subtract ctrl+s
  xdotool type Papers
  keys Escape ctrl+shift+x
}

until_clipboard "$shown_name" names_of_cursor
keys Return
# Name, extension, size, date, attributes. huge.raw's 12,345,678,901,234 bytes are 11.2 TiB: its
# shifted line is read whole. future.txt is listed, without its date. crème brûlée.txt is 17 bytes,
# read only.txt 10 and read-only.
tab=$'\t'
expected_columns="[lost+found]$tab${tab}16.0 K${tab}01/02/26 03:04:05${tab}d-------
[Papers]$tab${tab}4.0 K${tab}01/02/26 03:04:05${tab}d-------
crème brûlée${tab}txt${tab}17${tab}01/02/26 03:04:05$tab--------
future${tab}txt${tab}10${tab}01/01/00 00:00:00$tab--------
huge${tab}raw${tab}11.2 T${tab}01/02/26 03:04:05$tab--------
read only${tab}txt${tab}10${tab}01/02/26 03:04:05$tab-r------"
until_clipboard "$expected_columns" shown_columns
echo "Double Commander lists the image's root as (name, extension, size, date, attributes):"
clipboard
echo
keys ctrl+KP_Subtract
timeout -k 2 20 import -window root "$screen"

until_clipboard "Papers" cursor_to_papers
keys F5
shown_window "Copy file" >/dev/null
keys Return
for _ in $(seq 60); do
  diff -r "$tree/Papers" "$work/out/Papers" >/dev/null 2>&1 && break
  sleep 0.5
done
diff -r "$tree/Papers" "$work/out/Papers" || fail "the copied folder differs from its source"
[ "$(ls "$work/out")" = Papers ] || fail "the destination holds more than Papers: $(ls "$work/out")"
echo "F5 copied Papers out; diff -r against its source tree finds no difference:"
(cd "$work/out" && find Papers | sort)
echo "screenshot of the opened image: $screen"

# Double Commander trusts the exit status of an extraction: one that copied nothing must fail.
if (cd "$work/out" && "$build/kovox-image" -READ "$image" Papers/missing.txt) 2>/dev/null; then
  fail "kovox-image reported a file the tool never copied as copied"
fi
[ ! -e "$work/out/missing.txt" ] || fail "a failed copy left missing.txt behind"
