#!/usr/bin/env python3
"""Writes the virtual disk files that qemu-img cannot: differencing VHD and VHDX children over a
parent, and a VHDX left as a host that stopped uncleanly leaves it, with writes still in its log.
Laid out as the VHD and VHDX format descriptions give them, for the container tests.

  virtual_disk_writer.py vhd-child PARENT PARENT_RAW CHILD_RAW OUT RELATIVE ABSOLUTE
  virtual_disk_writer.py vhdx-child PARENT PARENT_RAW CHILD_RAW OUT RELATIVE ABSOLUTE
  virtual_disk_writer.py vhdx-log IN OUT

A child reads as CHILD_RAW: blocks equal to the parent's are left to the parent, and inside a
changed block only the changed sectors are marked present. RELATIVE and ABSOLUTE are the parent's
paths as the child records them (Windows paths, say). vhdx-log moves the first page of the BAT into
the log: the file's own copy is zeroed, the log's active sequence writes it back.
"""
import struct
import sys
import uuid

MIB = 1024 * 1024


def crc32c(data, crc=0):
    table = crc32c.table
    if table is None:
        table = []
        for n in range(256):
            c = n
            for _ in range(8):
                c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
            table.append(c)
        crc32c.table = table
    crc ^= 0xFFFFFFFF
    for b in data:
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


crc32c.table = None


def with_crc(data, at):
    data = bytearray(data)
    data[at:at + 4] = b"\0\0\0\0"
    data[at:at + 4] = struct.pack("<I", crc32c(data))
    return bytes(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def vhd_checksum(data, at):
    total = sum(b for i, b in enumerate(data) if not at <= i < at + 4)
    return struct.pack(">I", ~total & 0xFFFFFFFF)


def utf16(text, order="le"):
    return text.encode("utf-16-le" if order == "le" else "utf-16-be")


def vhd_child(parent, parent_raw, child_raw, out, relative, absolute):
    parent_footer = read(parent)[-512:]
    assert parent_footer[:8] == b"conectix"
    size = struct.unpack(">Q", parent_footer[48:56])[0]
    old, new = read(parent_raw), read(child_raw)
    assert len(old) >= size and len(new) >= size
    block = 2 * MIB
    blocks = (size + block - 1) // block
    bitmap = 512
    bat_offset = 1536
    bat_size = (blocks * 4 + 511) // 512 * 512
    locators = [(b"W2ru", utf16(relative)), (b"W2ku", utf16(absolute))]
    place = bat_offset + bat_size
    locator_entries = b""
    locator_data = b""
    for code, data in locators:
        space = (len(data) + 511) // 512 * 512
        locator_entries += code + struct.pack(">III", space // 512, len(data), 0) + struct.pack(">Q", place)
        locator_data += data + b"\0" * (space - len(data))
        place += space
    bat = bytearray(b"\xff" * bat_size)
    body = bytearray()
    for n in range(blocks):
        start, end = n * block, min(size, (n + 1) * block)
        if old[start:end] == new[start:end]:
            continue
        bits = bytearray(bitmap)
        for s in range((end - start) // 512):
            a = start + s * 512
            if old[a:a + 512] != new[a:a + 512]:
                bits[s // 8] |= 0x80 >> (s % 8)
        data = new[start:end] + b"\0" * (block - (end - start))
        bat[n * 4:n * 4 + 4] = struct.pack(">I", (place + len(body)) // 512)
        body += bits + data
    footer = bytearray(512)
    footer[0:8] = b"conectix"
    footer[8:24] = struct.pack(">IIQ", 2, 0x00010000, 512)
    footer[24:40] = struct.pack(">I", 0) + b"kvxt" + struct.pack(">I", 0x00010000) + b"Wi2k"
    footer[40:56] = struct.pack(">QQ", size, size)
    footer[56:64] = parent_footer[56:60] + struct.pack(">I", 4)
    footer[68:84] = uuid.uuid4().bytes
    footer[64:68] = vhd_checksum(footer, 64)
    header = bytearray(1024)
    header[0:8] = b"cxsparse"
    header[8:36] = struct.pack(">QQIII", 0xFFFFFFFFFFFFFFFF, bat_offset, 0x00010000, blocks, block)
    header[40:56] = parent_footer[68:84]
    name = utf16(relative.replace("\\", "/").split("/")[-1], "be")
    header[64:64 + len(name)] = name
    header[576:576 + len(locator_entries)] = locator_entries
    header[36:40] = vhd_checksum(header, 36)
    with open(out, "wb") as f:
        f.write(bytes(footer) + bytes(header) + bytes(bat) + locator_data + bytes(body) + bytes(footer))


def vhdx_current_header(data):
    best = None
    for offset in (64 * 1024, 128 * 1024):
        h = data[offset:offset + 4096]
        if h[:4] == b"head" and with_crc(h, 4) == h:
            if best is None or struct.unpack("<Q", h[8:16])[0] > struct.unpack("<Q", best[1][8:16])[0]:
                best = (offset, h)
    assert best is not None
    return best


def vhdx_header(sequence, log_guid=b"\0" * 16):
    h = bytearray(4096)
    h[0:4] = b"head"
    h[8:16] = struct.pack("<Q", sequence)
    h[16:32] = uuid.uuid4().bytes_le
    h[32:48] = uuid.uuid4().bytes_le
    h[48:64] = log_guid
    h[64:80] = struct.pack("<HHIQ", 0, 1, MIB, MIB)
    return with_crc(h, 4)


def guid(text):
    return uuid.UUID(text).bytes_le


def vhdx_child(parent, parent_raw, child_raw, out, relative, absolute):
    _, parent_header = vhdx_current_header(read(parent))
    linkage = "{" + str(uuid.UUID(bytes_le=bytes(parent_header[32:48]))) + "}"
    old, new = read(parent_raw), read(child_raw)
    size, block, sector = len(old), MIB, 512
    assert len(new) == size
    chunk_ratio = (1 << 23) * sector // block
    blocks = (size + block - 1) // block
    chunks = (blocks + chunk_ratio - 1) // chunk_ratio
    entries = chunks * (chunk_ratio + 1)
    bat_length = (entries * 8 + MIB - 1) // MIB * MIB
    image = bytearray(3 * MIB + bat_length)
    image[0:8] = b"vhdxfile"
    image[64 * 1024:68 * 1024] = vhdx_header(1)
    image[128 * 1024:132 * 1024] = vhdx_header(2)
    table = bytearray(64 * 1024)
    table[0:16] = b"regi" + struct.pack("<III", 0, 2, 0)
    table[16:48] = guid("2DC27766-F623-4200-9D64-115E9BFD4A08") + struct.pack("<QII", 3 * MIB, bat_length, 1)
    table[48:80] = guid("8B7CA206-4790-4B9A-B8FE-575F050F886E") + struct.pack("<QII", 2 * MIB, MIB, 1)
    table = with_crc(table, 4)
    image[192 * 1024:256 * 1024] = table
    image[256 * 1024:320 * 1024] = table
    pairs = [("parent_linkage", linkage), ("relative_path", relative), ("absolute_win32_path", absolute)]
    locator = bytearray(guid("B04AEFB7-D19E-4A81-B789-25B8E9445913") + struct.pack("<HH", 0, len(pairs)))
    strings = b""
    base = 20 + 12 * len(pairs)
    for key, value in pairs:
        k, v = utf16(key), utf16(value)
        locator += struct.pack("<IIHH", base + len(strings), base + len(strings) + len(k), len(k), len(v))
        strings += k + v
    locator += strings
    items = [
        ("CAA16737-FA36-4D43-B3B6-33F0AA44E76B", struct.pack("<II", block, 2), 4),
        ("2FA54224-CD1B-4876-B211-5DBED83BF4B8", struct.pack("<Q", size), 6),
        ("BECA12AB-B2E6-4523-93EF-C309E000C746", uuid.uuid4().bytes_le, 6),
        ("8141BF1D-A96F-4709-BA47-F233A8FAAB5F", struct.pack("<I", sector), 6),
        ("CDA348C7-445D-4471-9CC9-E9885251C556", struct.pack("<I", sector), 6),
        ("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C", bytes(locator), 4),
    ]
    meta = bytearray(b"metadata" + struct.pack("<HH", 0, len(items)) + b"\0" * 20)
    data_at = 64 * 1024
    values = b""
    for item, value, flags in items:
        meta += guid(item) + struct.pack("<IIII", data_at + len(values), len(value), flags, 0)
        values += value + b"\0" * ((-len(value)) % 8)
    image[2 * MIB:2 * MIB + len(meta)] = meta
    image[2 * MIB + data_at:2 * MIB + data_at + len(values)] = values
    bat = bytearray(entries * 8)
    tail = bytearray()
    next_at = len(image)
    for c in range(chunks):
        bitmap = bytearray(MIB)
        partial = False
        for n in range(c * chunk_ratio, min(blocks, (c + 1) * chunk_ratio)):
            start, end = n * block, min(size, (n + 1) * block)
            if old[start:end] == new[start:end]:
                continue
            differing = 0
            for s in range((end - start) // sector):
                a = start + s * sector
                if old[a:a + sector] != new[a:a + sector]:
                    bit = (n - c * chunk_ratio) * (block // sector) + s
                    bitmap[bit // 8] |= 1 << (bit % 8)
                    differing += 1
            state = 6 if differing == (end - start) // sector else 7
            partial = partial or state == 7
            bat[(n + c) * 8:(n + c) * 8 + 8] = struct.pack("<Q", ((next_at + len(tail)) // MIB) << 20 | state)
            tail += new[start:end] + b"\0" * (block - (end - start))
        if partial:
            at = (c + 1) * (chunk_ratio + 1) - 1
            bat[at * 8:at * 8 + 8] = struct.pack("<Q", ((next_at + len(tail)) // MIB) << 20 | 6)
            tail += bitmap
    image[3 * MIB:3 * MIB + len(bat)] = bat
    with open(out, "wb") as f:
        f.write(bytes(image) + bytes(tail))


def log_entry(sequence, tail, log_guid, file_size, descriptors, break_checksum=False):
    """descriptors: ("data", offset, page) or ("zero", offset, length)."""
    data_sectors = [d for d in descriptors if d[0] == "data"]
    header_sectors = (64 + 32 * len(descriptors) + 4095) // 4096
    length = (header_sectors + len(data_sectors)) * 4096
    head = bytearray(header_sectors * 4096)
    head[0:64] = (b"loge" + struct.pack("<IIIQII", 0, length, tail, sequence, len(descriptors), 0) + log_guid +
                  struct.pack("<QQ", file_size, file_size))
    sectors = b""
    for i, d in enumerate(descriptors):
        at = 64 + 32 * i
        if d[0] == "zero":
            head[at:at + 32] = b"zero" + struct.pack("<IQQQ", 0, d[2], d[1], sequence)
        else:
            page = d[2]
            head[at:at + 32] = b"desc" + page[4092:4096] + page[0:8] + struct.pack("<QQ", d[1], sequence)
            sectors += b"data" + struct.pack("<I", sequence >> 32) + page[8:4092] + struct.pack("<I", sequence & 0xFFFFFFFF)
    entry = with_crc(bytes(head) + sectors, 4)
    if break_checksum:
        entry = entry[:4] + bytes([entry[4] ^ 1]) + entry[5:]
    return entry


def vhdx_log(source, out):
    image = bytearray(read(source))
    header_at, header = vhdx_current_header(image)
    log_offset, log_length = struct.unpack("<Q", header[72:80])[0], struct.unpack("<I", header[68:72])[0]
    table = image[192 * 1024:256 * 1024]
    bat_offset = None
    for i in range(struct.unpack("<I", table[8:12])[0]):
        entry = table[16 + 32 * i:48 + 32 * i]
        if entry[:16] == guid("2DC27766-F623-4200-9D64-115E9BFD4A08"):
            bat_offset = struct.unpack("<Q", entry[16:24])[0]
    good = bytes(image[bat_offset:bat_offset + 4096])
    garbage = bytes([0xA5]) * 4096
    image[bat_offset:bat_offset + 4096] = b"\0" * 4096
    log_guid = uuid.uuid4().bytes_le
    size = len(image)
    first = log_entry(10, 0, log_guid, size, [("data", bat_offset, garbage)])
    second = log_entry(11, 0, log_guid, size, [("zero", bat_offset, 8192), ("data", bat_offset, good)])
    # Past the head: an entry that was being written when the host stopped.
    torn = log_entry(12, 0, log_guid, size, [("data", bat_offset, garbage)], break_checksum=True)
    # An older sequence of its own, flushed long ago: lower numbers, so not the active one.
    stale_at = log_length - 2 * 4096
    stale = log_entry(5, stale_at, log_guid, size, [("data", bat_offset, garbage)])
    log = bytearray(log_length)
    sequence = first + second + torn
    log[0:len(sequence)] = sequence
    log[stale_at:stale_at + len(stale)] = stale
    image[log_offset:log_offset + log_length] = log
    # The other header slot becomes the current one, naming the log.
    other = 128 * 1024 if header_at == 64 * 1024 else 64 * 1024
    newer = bytearray(header)
    newer[8:16] = struct.pack("<Q", struct.unpack("<Q", header[8:16])[0] + 1)
    newer[48:64] = log_guid
    image[other:other + 4096] = with_crc(newer, 4)
    with open(out, "wb") as f:
        f.write(bytes(image))


if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    {"vhd-child": vhd_child, "vhdx-child": vhdx_child, "vhdx-log": vhdx_log}[command](*arguments)
