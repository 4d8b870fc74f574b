// The VMDK descriptor parser over the lines real descriptors hold and hostile ones, and a sparse
// extent in memory read as a disk: its grains present, zeroed and absent, each read in whole
// sectors of the file only.
#include "base/memory_disk.h"
#include "disk/vmdk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace dirtool {
namespace {

using kind = vmdk_extent_line::kind;

TEST(VmdkDescriptor, ReadsExtentsAndParentsAndRefusesHostileLines) {
    const std::string head = "# Disk DescriptorFile\nversion=1\nCID=0000abcd\n";
    const struct {
        std::string text;
        std::vector<vmdk_extent_line> extents;
        std::string error;  // a part of the message, or nothing
    } cases[] = {
        {head + "parentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\n"
                "RW 4192256 SPARSE \"my disk-s001.vmdk\"\nRDONLY  2048\tFLAT \"sub/disk-f002.vmdk\" 16\r\nNOACCESS 100 ZERO\n",
         {{kind::sparse, 4192256, "my disk-s001.vmdk", 0}, {kind::flat, 2048, "sub/disk-f002.vmdk", 16}, {kind::zero, 100, "", 0}},
         ""},
        {head + "RW 8 FLAT \"../../x\" 0\n", {}, "outside its own folder"},
        {head + "RW 8 FLAT \"sub\\..\\x\" 0\n", {}, "outside its own folder"},
        {head + "RW 8 FLAT \"/etc/passwd\" 0\n", {}, "outside its own folder"},
        {head + "RW 8 FLAT \"C:x.vmdk\" 0\n", {}, "outside its own folder"},
        {head + "RW 8 SESPARSE \"x.vmdk\"\n", {}, "of a kind this tool does not read"},
        {head + "RW 99999999999999999999 FLAT \"x.vmdk\" 0\n", {}, "gives no size"},
        {head + "RW 8 FLAT x.vmdk\n", {}, "names no file"},
        {head + "RW 8 FLAT \"x.vmdk\" -1\n", {}, "gives no offset"},
        {head + "parentCID=zz\n", {}, "parentCID"},
        {head + std::string(70000, '#'), {}, "larger than a VMDK descriptor can be"},
        {head + std::string(1, '\0') + "RW 8 FLAT \"../x\" 0\n", {}, ""},  // the text ends at its NUL
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 200));
        vmdk_descriptor descriptor;
        std::string error;
        EXPECT_EQ(parse_vmdk_descriptor(c.text.data(), c.text.size(), descriptor, error), c.error.empty());
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        if (!c.error.empty()) continue;
        EXPECT_TRUE(descriptor.has_cid);
        EXPECT_EQ(descriptor.cid, 0xabcdu);
        ASSERT_EQ(descriptor.extents.size(), c.extents.size());
        for (std::size_t i = 0; i < c.extents.size(); ++i) {
            EXPECT_EQ(descriptor.extents[i].type, c.extents[i].type);
            EXPECT_EQ(descriptor.extents[i].sectors, c.extents[i].sectors);
            EXPECT_EQ(descriptor.extents[i].file, c.extents[i].file);
            EXPECT_EQ(descriptor.extents[i].offset, c.extents[i].offset);
        }
    }
}

void put_le(std::string& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// Four grains of one sector: grain 0 at sector 4, grain 1 zeroed, grain 2 absent, grain 3 at
// sector 5. Sector 1 is the directory, 2 the table.
TEST(VmdkSparseExtent, ReadsPresentZeroedAndAbsentGrainsInWholeSectors) {
    std::string file(6 * 512, '\0');
    std::memcpy(&file[0], "KDMV", 4);
    put_le(file, 4, 1, 4);
    put_le(file, 8, 1u << 2, 4);  // zeroed grains
    put_le(file, 12, 4, 8);
    put_le(file, 20, 1, 8);
    put_le(file, 44, 4, 4);
    put_le(file, 56, 1, 8);
    put_le(file, 512, 2, 4);
    const std::uint32_t entries[] = {4, 1, 0, 5};
    for (std::size_t i = 0; i < 4; ++i) put_le(file, 1024 + 4 * i, entries[i], 4);
    std::memset(&file[4 * 512], 'a', 512);
    std::memset(&file[5 * 512], 'd', 512);
    auto log = std::make_shared<disk_log>();
    std::string error;
    std::unique_ptr<image_source> disk =
        open_vmdk(std::make_unique<memory_disk>(file, 512, memory_disk::rules::raw_disk, log), "x.vmdk", 0, error);
    ASSERT_TRUE(disk) << error;
    ASSERT_EQ(disk->size(), 4u * 512);
    // Sector-aligned memory, as a raw disk reads into.
    std::vector<char> storage(5 * 512);
    char* bytes = storage.data() + (512 - reinterpret_cast<std::uintptr_t>(storage.data()) % 512) % 512;
    std::size_t got = 0;
    ASSERT_TRUE(disk->read_sectors(0, bytes, 4 * 512, got, error)) << error;
    EXPECT_EQ(got, 4u * 512);
    EXPECT_EQ(std::string(bytes, 4 * 512),
              std::string(512, 'a') + std::string(1024, '\0') + std::string(512, 'd'));
    EXPECT_TRUE(log->refused.empty());
}

}  // namespace
}  // namespace dirtool
