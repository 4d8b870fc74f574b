#!/usr/bin/env bash
# (Re)creates the demo device folder given as the only argument, e.g. build/host/devices/hda1.
# Made at build time rather than kept in git: git keeps neither modes, holes nor times.
set -euo pipefail

device=${1:?usage: make_sample_device.sh DEVICE_FOLDER}
case "$(basename -- "$device")" in
  "" | "." | ".." | "/") echo "make_sample_device.sh: refusing to replace '$device'" >&2; exit 2 ;;
esac

# Read-only entries would stop the removal of an earlier run's folder.
if [ -e "$device" ] || [ -L "$device" ]; then
  chmod -R u+w -- "$device" 2>/dev/null || true
  rm -rf -- "$device"
fi

umask 022
mkdir -p -- "$device"
cd -- "$device"

mkdir -p dev Dev etc boot lib home tmp var "My Documents" \
  usr/dev usr/bin usr/lib usr/share/doc/kovox

# The root's "dev" is listed but not entered; "usr/dev" and "Dev" are entered.
: > dev/null
: > dev/tty1
: > dev/hda1
: > usr/dev/ttyS0
echo "Not the device folder: only the root's lower-case dev is skipped." > Dev/README

printf 'root:x:0:0:root:/root:/bin/sh\nbin:x:1:1:bin:/bin:/bin/false\nuser:x:1000:100:A User:/home/user:/bin/sh\n' > etc/passwd
echo "sample" > etc/hostname
echo "Welcome to the sample device." > etc/issue
chmod 444 etc/issue

echo "kernel image stand-in" > boot/vmlinuz-2.4
chmod 555 boot

echo "library stand-in" > lib/libc.so.6
ln -s lib lib64
echo "shell stand-in" > usr/bin/bash
ln -s bash usr/bin/sh

echo "Café au lait." > "home/café.txt"
echo "Dear Bob," > "My Documents/letter to bob.txt"
printf 'The sample device of the kovox demo.\n' > usr/share/doc/kovox/README

# Every byte value once, CR, LF and Ctrl-Z included: a copy must not translate line ends.
for byte in $(seq 0 255); do printf "\\$(printf '%03o' "$byte")"; done > usr/lib/bytes.bin

# A sparse file whose size takes ten digits, and a smaller one with data between its holes.
truncate -s 1234567890 var/big.img
printf 'head' > var/mixed.img
printf 'middle' | dd of=var/mixed.img bs=1 seek=3145728 conv=notrunc status=none
truncate -s 5242880 var/mixed.img

# The same times on every run; deepest entries first, since touching an entry leaves its
# folder's time alone but creating one does not.
find . -depth -exec touch -h -d "2026-01-02 03:04:05 UTC" {} +
