// Writes VirtualBox disk images (VDI) of a raw image's bytes, for the cases qemu-img cannot write:
// differencing images, whose blocks stand over a parent's, and block sizes other than 1 MiB. The
// layout is the published one: a 512-byte header, a block map of one 32-bit entry per block, the
// data blocks in the order they were allocated.
#pragma once

#include <array>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace whole_program {

using vdi_uuid = std::array<unsigned char, 16>;

// `seed` varies the bytes; the first three fields stand little-endian, as in the file.
inline vdi_uuid make_vdi_uuid(unsigned char seed) {
    vdi_uuid id{};
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<unsigned char>(seed * 37 + i * 11 + 1);
    return id;
}

// The UUID as VirtualBox writes it into a machine's settings: the first three fields as numbers.
inline std::string vdi_uuid_text(const vdi_uuid& id) {
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string text = "{";
    char digits[3];
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        std::snprintf(digits, sizeof digits, "%02x", id[static_cast<std::size_t>(order[i])]);
        text += digits;
    }
    return text + "}";
}

struct vdi_plan {
    std::uint32_t block_size = 1024 * 1024;
    vdi_uuid image{};
    vdi_uuid parent{};              // all zeros: a standalone dynamic image
    const std::string* base = nullptr;  // the parent's bytes, whose blocks the child need not hold
};

inline void put_le32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// Writes `raw` as a VDI. A block the same as the base's is left to the parent; a block of zeros is
// marked zeroed, as a discard marks it, which in a child hides the parent's block.
inline void write_vdi(const std::string& path, const std::string& raw, const vdi_plan& plan) {
    const std::uint64_t block = plan.block_size;
    const auto blocks = static_cast<std::uint32_t>((raw.size() + block - 1) / block);
    const bool differencing = plan.base != nullptr;
    const std::size_t map_offset = 512;
    const std::size_t data_offset = map_offset + (std::size_t{blocks} * 4 + 511) / 512 * 512;
    std::string map(data_offset - map_offset, '\0');
    std::string data;
    std::uint32_t allocated = 0;
    for (std::uint32_t i = 0; i < blocks; ++i) {
        std::string bytes = raw.substr(std::size_t{i} * block, block);
        bytes.resize(block, '\0');
        std::string under = differencing ? plan.base->substr(std::min<std::size_t>(std::size_t{i} * block, plan.base->size()), block)
                                         : std::string();
        under.resize(block, '\0');
        std::uint32_t entry = allocated;
        if (differencing && bytes == under) {
            entry = 0xFFFFFFFF;
        } else if (bytes == std::string(block, '\0')) {
            entry = 0xFFFFFFFE;
        } else {
            data += bytes;
            ++allocated;
        }
        put_le32(map, std::size_t{i} * 4, entry);
    }
    std::string header(512, '\0');
    const std::string text = "<<< Oracle VM VirtualBox Disk Image >>>\n";
    header.replace(0, text.size(), text);
    put_le32(header, 0x40, 0xBEDA107F);
    put_le32(header, 0x44, 0x00010001);
    put_le32(header, 0x48, 0x180);
    put_le32(header, 0x4C, differencing ? 4 : 1);
    put_le32(header, 0x154, static_cast<std::uint32_t>(map_offset));
    put_le32(header, 0x158, static_cast<std::uint32_t>(data_offset));
    put_le32(header, 0x168, 512);
    put_le32(header, 0x170, static_cast<std::uint32_t>(raw.size()));
    put_le32(header, 0x174, static_cast<std::uint32_t>(std::uint64_t{raw.size()} >> 32));
    put_le32(header, 0x178, plan.block_size);
    put_le32(header, 0x180, blocks);
    put_le32(header, 0x184, allocated);
    for (std::size_t i = 0; i < 16; ++i) {
        header[0x188 + i] = static_cast<char>(plan.image[i]);
        header[0x1A8 + i] = static_cast<char>(plan.parent[i]);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << header << map << data;
}

}  // namespace whole_program
