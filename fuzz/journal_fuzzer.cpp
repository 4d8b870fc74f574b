// Arbitrary bytes as a journal at the start of a file system: one byte picking the block size, four
// giving the file system's length in blocks, two the journal's, then the journal's first blocks
// (the rest read as zeros). The walk must read only
// journal blocks, replay only blocks inside the file system, and the overlay must read only inside
// the image.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/bytes.h"
#include "ext/journal_overlay.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

class memory_journal final : public dirtool::journal_blocks {
public:
    memory_journal(const std::vector<char>& bytes, std::uint32_t block_size, std::uint64_t length)
        : bytes_(bytes), block_size_(block_size), length_(length) {}
    bool read(std::uint64_t number, unsigned char* into, std::string& error) override {
        check(number < length_);
        std::memset(into, 0, block_size_);
        if ((number + 1) * block_size_ <= bytes_.size()) std::memcpy(into, bytes_.data() + number * block_size_, block_size_);
        error.clear();
        return true;
    }

private:
    const std::vector<char>& bytes_;
    std::uint32_t block_size_;
    std::uint64_t length_;
};

class memory_image final : public dirtool::image_source {
public:
    memory_image(const std::vector<char>& bytes, std::uint64_t size) : bytes_(bytes), size_(size) {}
    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return 512; }
    std::int64_t modified() const override { return 0; }
    dirtool::file_identity identity() const override { return {}; }
    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got, std::string&) override {
        check(offset % 512 == 0 && count % 512 == 0 && offset <= size_);
        got = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset));
        std::memset(data, 0, got);
        if (offset < bytes_.size()) {
            std::memcpy(data, bytes_.data() + offset, std::min<std::size_t>(got, bytes_.size() - offset));
        }
        return true;
    }

private:
    const std::vector<char>& bytes_;
    std::uint64_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    const std::uint32_t block_size = 1024u << (data[0] % 3);
    const std::uint64_t file_system_blocks = dirtool::load_le32(data + 1);
    const std::uint64_t journal_blocks = dirtool::load_le16(data + 5);
    const std::vector<char> bytes(data + 7, data + size);
    const std::uint64_t image_size = journal_blocks * block_size;

    memory_journal journal(bytes, block_size, journal_blocks);
    dirtool::journal_replay replay;
    std::string error;
    const bool usable = dirtool::walk_journal(journal, {journal_blocks, block_size, file_system_blocks}, replay, error);
    check(usable == error.empty());
    check(usable || replay.blocks.empty());
    for (std::size_t i = 0; i < replay.blocks.size(); ++i) {
        const dirtool::journaled_block& version = replay.blocks[i];
        check(version.file_system_block < file_system_blocks && version.journal_block < journal_blocks);
        check(version.transaction < replay.transactions);
        if (i > 0) check(replay.blocks[i - 1].file_system_block <= version.file_system_block);
    }

    // The journal is the image's first blocks; every block the replay names is read through the
    // overlay, which must find each inside the image or say it is not.
    auto reader = std::make_shared<dirtool::image_reader>(std::make_unique<memory_image>(bytes, image_size));
    std::vector<dirtool::journaled_block> versions = replay.blocks;
    dirtool::journal_overlay overlay(std::move(replay), {{0, 0, journal_blocks}}, block_size);
    std::vector<char> block(block_size);
    for (std::size_t i = 0; i < versions.size() && i < 64; ++i) {
        const std::uint64_t offset = versions[i].file_system_block * block_size;
        if (!dirtool::fits_inside(offset, block_size, image_size)) continue;
        overlay.cover(*reader, 0, image_size, offset, block.data(), block.size(), error);
    }
    return 0;
}
