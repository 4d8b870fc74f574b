// The VDI header's checks over headers built in memory, and the reading of a machine's settings
// file for the disks it names.
#include "disk/vdi.h"

#include <gtest/gtest.h>

#include <functional>

namespace dirtool {
namespace vdi {
namespace {

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// A dynamic image of 64 blocks of 64 KiB, 3 of them allocated, its map at 512, its data at 1024.
constexpr std::uint64_t sound_file_size = 1024 + 3 * 65536;
std::string sound_header() {
    std::string bytes(512, '\0');
    put32(bytes, 0x40, signature);
    put32(bytes, 0x44, 0x00010001);
    put32(bytes, 0x48, 0x180);
    put32(bytes, 0x4C, 1);
    put32(bytes, 0x154, 512);
    put32(bytes, 0x158, 1024);
    put32(bytes, 0x170, 64 * 65536);
    put32(bytes, 0x178, 65536);
    put32(bytes, 0x180, 64);
    put32(bytes, 0x184, 3);
    bytes[0x188] = 1;
    return bytes;
}

TEST(VdiHeader, RefusesWhatCannotBeTrusted) {
    const struct {
        const char* name;
        std::function<void(std::string&)> change;
        std::uint64_t file_size;
        const char* problem;  // empty for a header that is sound
    } cases[] = {
        {"sound", [](std::string&) {}, sound_file_size, ""},
        {"the last block's data cut off", [](std::string&) {}, sound_file_size - 1, "it is truncated"},
        {"too short for a header", [](std::string&) {}, 0x1C7, "too short for a VDI header"},
        {"version 0.1", [](std::string& h) { put32(h, 0x44, 0x00000001); }, sound_file_size, "VDI version 0.1"},
        {"a header too small", [](std::string& h) { put32(h, 0x48, 0x17C); }, sound_file_size, "header of 380 bytes"},
        {"an unknown type", [](std::string& h) { put32(h, 0x4C, 5); }, sound_file_size, "image type 5"},
        {"blocks of 3 bytes", [](std::string& h) { put32(h, 0x178, 3); }, sound_file_size, "not a power of two"},
        {"blocks of 256 bytes", [](std::string& h) { put32(h, 0x178, 256); }, sound_file_size, "not a power of two"},
        {"blocks of 512 MiB", [](std::string& h) { put32(h, 0x178, 512u << 20); }, sound_file_size, "not a power of two"},
        {"a disk larger than its blocks", [](std::string& h) { put32(h, 0x170, 64 * 65536 + 1); }, sound_file_size,
         "more than its 64 blocks"},
        {"a disk of 2^64 - 1 bytes", [](std::string& h) { put32(h, 0x170, ~0u); put32(h, 0x174, ~0u); },
         sound_file_size, "more than its 64 blocks"},
        {"the map over the header", [](std::string& h) { put32(h, 0x154, 0x100); }, sound_file_size, "its block map"},
        {"the map past the file's end", [](std::string& h) { put32(h, 0x180, 0x40000000); put32(h, 0x170, 0); },
         sound_file_size, "its block map"},
        {"the data over the map", [](std::string& h) { put32(h, 0x158, 600); }, sound_file_size, "its data at 600"},
        {"more blocks allocated than there are", [](std::string& h) { put32(h, 0x184, 65); }, 1024 + 65 * 65536,
         "65 blocks allocated of only 64"},
        {"huge extra data per block", [](std::string& h) { put32(h, 0x17C, ~0u); }, sound_file_size, "truncated"},
        {"a differencing image with no parent", [](std::string& h) { put32(h, 0x4C, 4); }, sound_file_size,
         "names no parent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = sound_header();
        c.change(bytes);
        header parsed;
        std::string problem;
        const bool sound = parse_header(bytes.data(), bytes.size(), c.file_size, parsed, problem);
        EXPECT_EQ(sound, *c.problem == '\0') << problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
}

TEST(VdiSettings, FindsEveryHardDiskWithItsUuidAndLocation) {
    const std::string settings =
        "<HardDisks>\n<HardDisk uuid=\"{A}\" location=\"base &amp; co.vdi\" format=\"VDI\">\n"
        "  <HardDisk\n location = 'Snapshots\\{B}.vdi' uuid='{B}'/>\n</HardDisk>\n"
        "<HardDiskX uuid=\"{C}\" location=\"c.vdi\"/>\n<HardDisk uuid=\"{D}\"/>\n"
        "<HardDisk uuid=\"{E}\" location=\"cut off";
    const std::vector<listed_disk> disks = hard_disks_in(settings);
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0].uuid, "{A}");
    EXPECT_EQ(disks[0].location, "base & co.vdi");
    EXPECT_EQ(disks[1].uuid, "{B}");
    EXPECT_EQ(disks[1].location, "Snapshots\\{B}.vdi");
}

TEST(VdiSettings, UuidTextIsTheFileOrderWithItsFirstFieldsAsNumbers) {
    uuid id{};
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(uuid_text(id), "{03020100-0504-0706-0809-0a0b0c0d0e0f}");
    uuid read{};
    ASSERT_TRUE(parse_uuid("{03020100-0504-0706-0809-0A0B0C0D0E0F}", read));
    EXPECT_EQ(read, id);
    ASSERT_TRUE(parse_uuid("03020100-0504-0706-0809-0a0b0c0d0e0f", read));
    EXPECT_EQ(read, id);
    for (const char* bad : {"", "{03020100-0504-0706-0809-0a0b0c0d0e0f", "03020100-0504-0706-0809+0a0b0c0d0e0f",
                            "0302010g-0504-0706-0809-0a0b0c0d0e0f"}) {
        EXPECT_FALSE(parse_uuid(bad, read)) << bad;
    }
}

}  // namespace
}  // namespace vdi
}  // namespace dirtool
