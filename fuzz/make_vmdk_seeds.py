#!/usr/bin/env python3
"""Writes the VMDK fuzzers' seeds: tiny sparse extents laid out as the format describes them (one
sector grains, four-entry grain tables), plain, with a zeroed grain and a redundant directory,
and deflated behind grain markers, and a descriptor file as qemu-img writes one."""
import os
import struct
import zlib

here = os.path.dirname(os.path.abspath(__file__))


def header(flags, capacity, grain, descriptor, descriptor_sectors, entries, redundant, directory, compression=0):
    fields = struct.pack("<4sIIQQQQIQQQB4sH", b"KDMV", 3 if flags & (1 << 16) else 1, flags, capacity, grain,
                         descriptor, descriptor_sectors, entries, redundant, directory, 0, 0, b"\n \r\n",
                         compression)
    return fields.ljust(512, b"\0")


def sector(data):
    return data.ljust((len(data) + 511) // 512 * 512, b"\0")


def plain():
    # Sectors: 0 header, 1 descriptor, 2 redundant directory, 3 its table, 4 directory, 5 table,
    # 6.. grains. Eight sectors of disk: grain 2 zeroed, grain 5 absent.
    text = sector(b'# Disk DescriptorFile\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicSparse"\n')
    tables = struct.pack("<4I", 6, 7, 1, 8), struct.pack("<4I", 9, 0, 10, 11)
    directory = struct.pack("<2I", 5, 12)
    redundant = struct.pack("<2I", 3, 13)
    grains = b"".join(sector(bytes([i]) * 512) for i in range(6))
    return (header(0b111, 8, 1, 1, 1, 4, 2, 4) + text + sector(redundant) + sector(tables[0]) +
            sector(directory) + sector(tables[0]) + grains + sector(tables[1]) + sector(tables[1]))


def stream():
    # Sectors: 0 header, then each grain behind its marker, then the table and the directory.
    out = header((1 << 16) | (1 << 17) | 1, 4, 1, 0, 0, 4, 0, 0, 1)
    places = []
    for i in range(4):
        places.append(len(out) // 512)
        deflated = zlib.compress(bytes([0x41 + i]) * 512)
        out += sector(struct.pack("<QI", i, len(deflated)) + deflated)
    table = len(out) // 512
    out += sector(struct.pack("<4I", *places))
    directory = len(out) // 512
    out += sector(struct.pack("<I", table))
    return out[:56] + struct.pack("<Q", directory) + out[64:]


def main():
    sparse = os.path.join(here, "corpus", "vmdk_sparse_fuzzer")
    text = os.path.join(here, "corpus", "vmdk_descriptor_fuzzer")
    os.makedirs(sparse, exist_ok=True)
    os.makedirs(text, exist_ok=True)
    for name, data in (("plain", plain()), ("stream", stream())):
        with open(os.path.join(sparse, name), "wb") as seed:
            seed.write(data)
    with open(os.path.join(text, "descriptor"), "w") as seed:
        seed.write('# Disk DescriptorFile\nversion=1\nCID=4614753\nparentCID=ffffffff\n'
                   'parentFileNameHint="base.vmdk"\ncreateType="twoGbMaxExtentFlat"\n\n'
                   '# Extent description\nRW 4192256 FLAT "disk-f001.vmdk" 0\nRW 2048 SPARSE "disk-s002.vmdk"\n'
                   'RDONLY 100 ZERO\n\n#DDB\nddb.virtualHWVersion = "4"\n')


main()
