// The reading beneath the ext file system: the channel libext2fs reads through, the reader of
// aligned sectors, and a device over a disk that refuses any other read.
#include "devices/image_test_support.h"
#include "ext/ext_channel.h"

namespace dirtool {
namespace {

using namespace image_tests;

// zeros and fails; and it never opens the image for writing.
TEST(ImageChannel, ReadsTheBytesOfItsWindowAndNothingElse) {
    const scratch_folder scratch;
    const std::string image = scratch.path() + "/bytes.img";
    std::string bytes(40000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    write_file(image, bytes);

    std::string error;
    std::unique_ptr<image_source> source = open_image_file(image, error);
    ASSERT_TRUE(source) << error;
    image_reader reader(std::move(source));
    const struct {
        std::uint64_t start, length;
    } windows[] = {{0, bytes.size()}, {3000, 30000}};
    for (const auto& w : windows) {
        SCOPED_TRACE("window from " + std::to_string(w.start));
        const image_window window{&reader, w.start, w.length, nullptr, nullptr};
        const std::string seen = bytes.substr(w.start, w.length);
        io_channel channel = nullptr;
        ASSERT_EQ(open_image_channel(window, IO_FLAG_RW, &channel), EXT2_ET_RO_FILSYS);
        ASSERT_EQ(open_image_channel(window, 0, &channel), 0);
        ASSERT_EQ(io_channel_set_blksize(channel, 1024), 0);
        const struct {
            unsigned long long block;
            int count;  // blocks, or bytes when negative
        } reads[] = {
            {1, 1}, {2, 1},    // the second from the window the first filled
            {0, 1},            // behind the window
            {3, -100},         // bytes, inside the window
            {4, 1}, {7, 2},    // across the window's end
            {20, 8}, {21, 1},  // larger than the window, then a block it does not hold
            {28, 2}, {29, 1}, {38, 2}, {39, 1}, {50, 1}, {~0ull / 2, 1},
        };
        for (const auto& r : reads) {
            SCOPED_TRACE("block " + std::to_string(r.block) + ", count " + std::to_string(r.count));
            const std::size_t size = r.count < 0 ? static_cast<std::size_t>(-r.count)
                                                 : std::size_t{1024} * static_cast<std::size_t>(r.count);
            const bool inside = r.block < seen.size() / 1024 && r.block * 1024 + size <= seen.size();
            std::string got(size, 'x');
            EXPECT_EQ(io_channel_read_blk64(channel, r.block, r.count, got.data()), inside ? 0 : EXT2_ET_SHORT_READ);
            std::string expected = r.block < seen.size() ? seen.substr(std::min<std::size_t>(r.block * 1024, seen.size()), size) : "";
            expected.resize(size, '\0');
            EXPECT_EQ(got, expected);
        }
        const char block[1024] = {};
        EXPECT_EQ(io_channel_write_blk64(channel, 0, 1, block), EXT2_ET_RO_FILSYS);
        EXPECT_EQ(io_channel_close(channel), 0);
    }
    std::ifstream after(image, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after), {}), bytes);
}


// Any byte range reads right through whole aligned sectors: inside the window and across it,
// longer than it into memory that is aligned and memory that is not, and up to and past the end.
TEST(ImageReader, ReadsADiskThatTakesOnlyAlignedSectors) {
    std::string bytes(64 * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    const struct {
        std::uint64_t offset;
        std::size_t count;
        std::size_t misaligned_by;  // where the read lands in the caller's memory
    } reads[] = {
        {0, 1, 0},         {1, 100, 3},          {4000, 200, 0},     {511, 2, 1},
        {8192, 16384, 0},  {8192, 16384, 8},     {12289, 20000, 0},  {0, 65536, 0},
        {65536 - 10, 10, 0}, {65536 - 10, 30, 5}, {65536, 4, 0},      {40960, 32768, 0},
    };
    for (const std::size_t sector : sector_sizes) {
        SCOPED_TRACE(std::to_string(sector) + "-byte sectors");
        const auto log = std::make_shared<disk_log>();
        image_reader reader(strict_disk(bytes, sector, log));
        for (const auto& r : reads) {
            SCOPED_TRACE(std::to_string(r.count) + " bytes at " + std::to_string(r.offset));
            std::vector<char> memory(r.count + 4096 * 2, 'x');
            const auto address = reinterpret_cast<std::uintptr_t>(memory.data());
            char* const into = memory.data() + (4096 - address % 4096) % 4096 + r.misaligned_by;
            std::string error;
            const bool inside = r.offset + r.count <= bytes.size();
            EXPECT_EQ(reader.read(r.offset, into, r.count, error),
                      inside ? image_reader::result::done : image_reader::result::past_the_end);
            std::string expected = r.offset < bytes.size() ? bytes.substr(r.offset, r.count) : "";
            expected.resize(r.count, '\0');
            EXPECT_EQ(std::string(into, r.count), expected);
        }
        EXPECT_TRUE(log->refused.empty()) << log->refused.front().count << " bytes at " << log->refused.front().offset;
    }
}

// A span buffer reads a long range in one read of the disk, from the sector that holds its first
// byte, and any range right: inside one sector, across sectors, up to the image's last, partial
// sector and past the end.
TEST(SpanBuffer, ReadsAnyRangeInOneReadOfWholeSectors) {
    std::string bytes(64 * 1024 + 100, '\0');  // the last sector is a partial one
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + i / 509);
    const struct {
        std::uint64_t offset;
        std::size_t count;
    } reads[] = {{0, 1}, {700, 30000}, {511, 2}, {4096, 20480}, {12289, 40000}, {65536 - 10, 110},
                 {65536 - 10, 200}, {65636, 4}, {1000, 64636}};
    for (const std::size_t sector : {std::size_t{512}, std::size_t{4096}}) {
        SCOPED_TRACE(std::to_string(sector) + "-byte sectors");
        const auto log = std::make_shared<disk_log>();
        image_reader reader(std::make_unique<memory_disk>(bytes, sector, memory_disk::rules::file, log));
        span_buffer span;
        for (const auto& r : reads) {
            SCOPED_TRACE(std::to_string(r.count) + " bytes at " + std::to_string(r.offset));
            log->reads.clear();
            const char* got = nullptr;
            std::string error;
            const bool inside = r.offset + r.count <= bytes.size();
            EXPECT_EQ(span.read(reader, r.offset, r.count, got, error),
                      inside ? image_reader::result::done : image_reader::result::past_the_end);
            std::string expected = r.offset < bytes.size() ? bytes.substr(r.offset, r.count) : "";
            expected.resize(r.count, '\0');
            EXPECT_EQ(std::string(got, r.count), expected);
            for (const auto& read : log->reads) EXPECT_EQ(read.offset % sector, 0u);
            if (inside && r.count >= 8192) {
                EXPECT_LE(log->reads.size(), 2u);  // not a window at a time
            }
        }
    }
}

// An ext file system lists and copies out through such a disk as it does from the image file, at
// either sector size: bare, and as partition 1 of a whole disk.
TEST(ImageDevice, ListsAndCopiesThroughADiskThatTakesOnlyAlignedSectors) {
    const scratch_folder scratch;
    const std::string& work = scratch.path();
    const std::string source = work + "/source";
    make_source_tree(source);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const std::string image = work + "/image.img";
    ASSERT_TRUE(make_image(work, source, "-t ext4 -b 1024", image));
    std::ifstream in(image, std::ios::binary);
    const std::string bare(std::istreambuf_iterator<char>(in), {});
    // An MBR with one Linux partition 1 MiB in, as sfdisk lays a disk out.
    constexpr std::size_t first = 1024 * 1024;
    std::string whole(first, '\0');
    whole[446 + 4] = static_cast<char>(0x83);
    const std::uint32_t start = first / 512;
    const auto length = static_cast<std::uint32_t>(bare.size() / 512);
    for (int i = 0; i < 4; ++i) {
        whole[446 + 8 + static_cast<std::size_t>(i)] = static_cast<char>((start >> (8 * i)) & 0xff);
        whole[446 + 12 + static_cast<std::size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xff);
    }
    whole[510] = static_cast<char>(0x55);
    whole[511] = static_cast<char>(0xaa);
    whole += bare;

    std::string error;
    const std::unique_ptr<device> from_file = open_image_device(image, error);
    ASSERT_TRUE(from_file) << error;
    std::vector<std::string> folders = {""};
    for (const auto& item : fs::recursive_directory_iterator(source)) {
        if (item.is_directory() && !item.is_symlink()) folders.push_back(fs::relative(item.path(), source).string());
    }
    const auto listing_of = [&error](device& disk, const std::vector<std::string>& components) {
        std::vector<entry_info> entries;
        EXPECT_EQ(disk.list(components, entries, error), outcome::done) << error;
        std::string lines;
        for (const entry_info& entry : entries) {
            lines += std::string(1, entry.type) + " " + std::to_string(entry.permissions) + " " +
                     std::to_string(entry.links) + " " + std::to_string(entry.size) + " " +
                     std::to_string(entry.mtime) + " " + entry.name + "\n";
        }
        return lines;
    };
    for (const std::size_t sector : sector_sizes) {
        SCOPED_TRACE(std::to_string(sector) + "-byte sectors");
        const auto log = std::make_shared<disk_log>();
        const std::unique_ptr<device> bare_disk = open_image_device(strict_disk(bare, sector, log), "bare", error);
        ASSERT_TRUE(bare_disk) << error;
        const std::unique_ptr<device> partition = open_partition_device(strict_disk(whole, sector, log), "whole", 1, error);
        ASSERT_TRUE(partition) << error;
        const std::unique_ptr<device> whole_disk = open_image_device(strict_disk(whole, sector, log), "whole", error);
        ASSERT_TRUE(whole_disk) << error;
        for (const std::string& folder : folders) {
            SCOPED_TRACE("/" + folder);
            const std::string expected = listing_of(*from_file, components_of(folder));
            EXPECT_GT(expected.size(), 0u);
            EXPECT_EQ(listing_of(*bare_disk, components_of(folder)), expected);
            EXPECT_EQ(listing_of(*partition, components_of(folder)), expected);
            std::vector<std::string> in_partition_1 = components_of(folder);
            in_partition_1.insert(in_partition_1.begin(), "1");
            EXPECT_EQ(listing_of(*whole_disk, in_partition_1), expected);
        }
        const std::string out = work + "/out";
        for (const auto& item : fs::recursive_directory_iterator(source)) {
            if (!item.is_regular_file() || item.is_symlink()) continue;
            const std::string relative = fs::relative(item.path(), source).string();
            for (device* disk : {bare_disk.get(), partition.get()}) {
                fs::remove_all(out);
                EXPECT_EQ(disk->copy_out(components_of(relative), out, error), outcome::done) << relative << ": " << error;
                EXPECT_TRUE(same_contents(item.path().string(), out)) << relative;
            }
        }
        EXPECT_TRUE(log->refused.empty()) << log->refused.front().count << " bytes at " << log->refused.front().offset;
    }
}

}  // namespace
}  // namespace dirtool
