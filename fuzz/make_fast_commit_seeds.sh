#!/bin/sh
# Writes the fast_commit_fuzzer's base disk (fuzz/fast_commit_base) and seeds (corpus/fast_commit_fuzzer)
# from the crash images of 1 KiB blocks that tests/ext_images/fast_commit holds: the base is the
# file system of "created" with its fast-commit area zeroed, as regions of its blocks that are not
# zeros after the area's byte offset; each seed is the fast-commit area of one image, which all lie
# at the same place since mke2fs made them alike.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
images=$here/../tests/ext_images/fast_commit
out=$here/corpus/fast_commit_fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
for name in created grown removed linked; do xz -dc "$images/$name-1024.img.xz" >"$work/$name.img"; done
python3 - "$work" "$here/fast_commit_base" "$out" <<'PY'
import struct, sys
work, base_path, out = sys.argv[1:]
block = 1024

def area_of(data):
    for offset in range(0, len(data), block):
        if data[offset:offset + 4] == b'\x09\x00\x08\x00':
            end = offset
            while data[end:end + block].rstrip(b'\0'):
                end += block
            return offset, end
    sys.exit('no fast-commit HEAD found')

base = bytearray(open(work + '/created.img', 'rb').read())
start, end = area_of(base)
with open(base_path, 'wb') as written:
    written.write(struct.pack('<Q', start))
    base[start:end] = bytes(end - start)
    for offset in range(0, len(base), block):
        kept = bytes(base[offset:offset + block]).rstrip(b'\0')
        if kept:
            written.write(struct.pack('<IH', offset, len(kept)) + kept)
for name in ('created', 'grown', 'removed', 'linked'):
    data = open('%s/%s.img' % (work, name), 'rb').read()
    first, last = area_of(data)
    assert first == start, name
    open('%s/%s' % (out, name), 'wb').write(data[first:last].rstrip(b'\0'))
PY
