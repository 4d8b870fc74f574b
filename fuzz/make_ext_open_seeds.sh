#!/bin/sh
# Writes the ext_open_fuzzer's seeds into fuzz/corpus/ext_open_fuzzer: the blocks that are not
# zeros of a small ext4 file system of 1 KiB blocks in three groups, as the fuzzer's regions (a
# 32-bit offset, a 16-bit length, the bytes, trailing zeros cut): intact, with its primary
# superblock zeroed, and with its group descriptors zeroed, so that the backups at 8 MiB are used.
set -eu
out=$(dirname "$0")/corpus/ext_open_fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/tree/folder"
echo "a file" >"$work/tree/folder/file"
mke2fs -q -F -t ext4 -b 1024 -N 48 -O ^has_journal,^resize_inode -d "$work/tree" "$work/image" 20M
# lost+found is twelve blocks, each with a checksum at its end: removed, and its blocks zeroed.
blocks=$(debugfs -R "blocks /lost+found" "$work/image" 2>/dev/null)
debugfs -w -R "rmdir lost+found" "$work/image" >/dev/null 2>&1
for block in $blocks; do
    dd if=/dev/zero of="$work/image" bs=1024 seek="$block" count=1 conv=notrunc status=none
done
regions() {
    python3 - "$1" "$2" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
with open(sys.argv[2], 'wb') as out:
    for offset in range(0, len(data), 1024):
        block = data[offset:offset + 1024].rstrip(b'\0')
        if block:
            out.write(struct.pack('<IH', offset, len(block)) + block)
PY
}
regions "$work/image" "$out/intact"
cp "$work/image" "$work/damaged"
dd if=/dev/zero of="$work/damaged" bs=1024 seek=1 count=1 conv=notrunc status=none
regions "$work/damaged" "$out/primary_superblock_zeroed"
cp "$work/image" "$work/damaged"
dd if=/dev/zero of="$work/damaged" bs=1024 seek=2 count=1 conv=notrunc status=none
regions "$work/damaged" "$out/group_descriptors_zeroed"
