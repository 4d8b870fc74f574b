#!/usr/bin/env bash
# (Re)creates the demo's ext4 image, e.g. build/host/devices/hda1.img: the folder that
# make_sample_device.sh makes, put into an image by mke2fs, then the entries that an unprivileged
# build cannot make in a folder (device nodes, a socket) added with debugfs.
#   make_sample_image.sh MKE2FS DEBUGFS STAGING_FOLDER IMAGE
set -euo pipefail

mke2fs=${1:?usage: make_sample_image.sh MKE2FS DEBUGFS STAGING_FOLDER IMAGE}
debugfs=${2:?}
staging=${3:?}
image=${4:?}

bash "$(dirname -- "$0")/make_sample_device.sh" "$staging"
# A FIFO the folder can hold as it is.
mkfifo -- "$staging/tmp/initctl"
touch -h -d "2026-01-02 03:04:05 UTC" -- "$staging/tmp/initctl" "$staging/tmp"

mkdir -p -- "$(dirname -- "$image")"
rm -f -- "$image.tmp"
"$mke2fs" -q -F -t ext4 -L hda1 -d "$staging" "$image.tmp" 16M >/dev/null

# The folder holds empty files where the device nodes belong. Nodes made by debugfs have no
# permission bits and the time of the build, so both are set; so are the times of the folders
# they change, and of lost+found, which mke2fs makes.
"$debugfs" -w -f - "$image.tmp" >/dev/null 2>&1 <<'COMMANDS'
cd /dev
rm null
mknod null c 1 3
sif null mode 020666
rm tty1
mknod tty1 c 4 1
sif tty1 mode 020620
rm hda1
mknod hda1 b 3 1
sif hda1 mode 060660
cd /usr/dev
rm ttyS0
mknod ttyS0 c 4 64
sif ttyS0 mode 020660
write /dev/null /tmp/.X11-socket
sif /tmp/.X11-socket mode 0140777
sif /dev/null mtime 20260102030405
sif /dev/tty1 mtime 20260102030405
sif /dev/hda1 mtime 20260102030405
sif /usr/dev/ttyS0 mtime 20260102030405
sif /tmp/.X11-socket mtime 20260102030405
sif /dev mtime 20260102030405
sif /usr/dev mtime 20260102030405
sif /tmp mtime 20260102030405
sif /lost+found mtime 20260102030405
COMMANDS

# debugfs reports failed commands only in its output: check that the nodes are there.
listing=$("$debugfs" -R "ls -l /usr/dev" "$image.tmp" 2>/dev/null)
case "$listing" in
  *" 20660 "*ttyS0*) ;;
  *) echo "make_sample_image.sh: debugfs did not make the device nodes" >&2; exit 1 ;;
esac
mv -f -- "$image.tmp" "$image"
