#!/usr/bin/env bash
# Midnight Commander, as a person uses it, opening the sample ext4 image through the kovox helper:
# mc runs in tmux on a fresh HOME, Enter opens the image, the panel must show its top-level names,
# "cd etc" must show a nested folder's names, and mc's own copy (F5) must copy a file out byte for
# byte. The last screen is kept in the build folder as mc_screen.txt.
#   mc_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
for program in mc tmux; do
  command -v "$program" >/dev/null || { echo "mc_test: $program is not installed (scripts/setup.sh test installs it)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kovox-mc-test.XXXXXX")
socket="kovox-mc-test-$$"
# The teardown hangs up mc's pane through tmux, then ends what is left: the tmux server and the
# pane's process group (mc and whatever it started).
source "$source/tests/end_processes.sh"
started=()
cleanup() {
  timeout -k 1 5 tmux -L "$socket" kill-server 2>/dev/null || true
  end_processes "${started[@]}"
  rm -rf "$work" 2>/dev/null || true
}
trap cleanup EXIT

# A fresh HOME with the helper registered as README says.
home=$work/home
mkdir -p "$home/.local/share/mc/extfs.d" "$home/.config/mc" "$work/images" "$work/out"
cp "$source/contrib/mc/kovox" "$home/.local/share/mc/extfs.d/kovox"
{
  printf '[mc.ext.ini]\nVersion=4.0\n\n'
  grep -v '^#' "$source/contrib/mc/mc.ext.ini"
  printf '\n[Default]\nOpen=\nView=\n'
} > "$home/.config/mc/mc.ext.ini"
cp "$build/devices/hda1.img" "$work/images/Disk Image.IMG"

screen() { tmux -L "$socket" capture-pane -p -t mc; }
# Waits until the screen shows every text given, or fails showing the screen.
wait_for() {
  for _ in $(seq 100); do
    local missing=0
    for text in "$@"; do screen | grep -qF -- "$text" || missing=1; done
    [ $missing -eq 0 ] && return 0
    sleep 0.2
  done
  echo "mc_test: the screen never showed: $*" >&2
  screen >&2
  exit 1
}

tmux -L "$socket" new-session -d -s mc -x 160 -y 45 \
  "env HOME='$home' KOVOX_BIN_DIR='$build' mc -u -b '$work/images' '$work/out'"
read -r server_pid pane_pid < <(tmux -L "$socket" display -p -t mc '#{pid} #{pane_pid}')
started=("$server_pid" "-$pane_pid")
wait_for "Disk Image.IMG"
tmux -L "$socket" send-keys -t mc Down Enter
wait_for "kovox://" "/etc" "/usr" "/var" "/My Documents" "/lost+found" "lib64"
screen > "$build/mc_screen.txt"

tmux -L "$socket" send-keys -t mc "cd etc" Enter
wait_for "kovox://etc" "passwd" "hostname" "issue"

tmux -L "$socket" send-keys -t mc C-s "passwd"
sleep 0.5
tmux -L "$socket" send-keys -t mc F5
wait_for "Copy file \"passwd\""
tmux -L "$socket" send-keys -t mc Enter
for _ in $(seq 50); do [ -f "$work/out/passwd" ] && break; sleep 0.2; done
screen >> "$build/mc_screen.txt"
cmp "$work/out/passwd" "$build/sample/hda1/etc/passwd"
tmux -L "$socket" send-keys -t mc F10
echo "mc listed the image and copied etc/passwd out byte for byte"
