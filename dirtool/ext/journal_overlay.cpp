#include "ext/journal_overlay.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace dirtool {

namespace {

// What an escaped block's first four bytes held before the journal stored it: the journal's magic,
// which would have made the stored block look like one of the journal's own.
constexpr unsigned char journal_magic_bytes[4] = {0xc0, 0x3b, 0x39, 0x98};

}  // namespace

journal_overlay::journal_overlay(journal_replay replay, std::vector<journal_extent> extents, std::uint32_t block_size)
    : blocks_(std::move(replay.blocks)), extents_(std::move(extents)), block_size_(block_size),
      seed_(replay.checksum_seed), block_(block_size) {}

bool locate_journal_block(const std::vector<journal_extent>& extents, std::uint64_t number,
                          std::uint32_t block_size, std::uint64_t& offset) {
    const auto after = std::upper_bound(extents.begin(), extents.end(), number,
                                        [](std::uint64_t value, const journal_extent& extent) {
                                            return value < extent.journal_first;
                                        });
    if (after == extents.begin()) return false;
    const journal_extent& extent = *(after - 1);
    if (number - extent.journal_first >= extent.count) return false;
    offset = saturated_product(extent.file_system_first + (number - extent.journal_first), block_size);
    return true;
}

bool journal_overlay::newest_intact(std::size_t first, std::size_t end, image_reader& reader,
                                    std::uint64_t window_start, std::uint64_t window_length, std::string& error) {
    for (std::size_t i = first; i < end; ++i) {
        const journaled_block& version = blocks_[i];
        std::uint64_t offset = 0;
        if (!locate_journal_block(extents_, version.journal_block, block_size_, offset) || !fits_inside(offset, block_size_, window_length)) {
            error = "the journal's block " + std::to_string(version.journal_block) + " lies outside its file";
            return false;
        }
        char* into = reinterpret_cast<char*>(block_.data());
        if (reader.read(window_start + offset, into, block_size_, error) != image_reader::result::done) {
            if (error.empty()) error = "the journal's block " + std::to_string(version.journal_block) + " cannot be read";
            return false;
        }
        // Recovery skips a version that fails its checksum, and an older one stays written.
        if (!journaled_block_intact(version, seed_, block_.data(), block_size_)) continue;
        if (version.escaped) std::memcpy(block_.data(), journal_magic_bytes, sizeof journal_magic_bytes);
        return true;
    }
    return false;
}

bool journal_overlay::cover(image_reader& reader, std::uint64_t window_start, std::uint64_t window_length,
                            std::uint64_t offset, char* bytes, std::size_t count, std::string& error) {
    if (count == 0 || blocks_.empty()) return true;
    // Called from the library's C frames, which no exception may cross.
    try {
        return cover_blocks(reader, window_start, window_length, offset, bytes, count, error);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool journal_overlay::cover_blocks(image_reader& reader, std::uint64_t window_start, std::uint64_t window_length,
                                   std::uint64_t offset, char* bytes, std::size_t count, std::string& error) {
    const std::uint64_t first_block = offset / block_size_;
    const std::uint64_t last_block = (offset + (count - 1)) / block_size_;
    auto version = std::lower_bound(blocks_.begin(), blocks_.end(), first_block,
                                    [](const journaled_block& item, std::uint64_t value) {
                                        return item.file_system_block < value;
                                    });
    while (version != blocks_.end() && version->file_system_block <= last_block) {
        const std::uint64_t number = version->file_system_block;
        auto versions_end = version;
        while (versions_end != blocks_.end() && versions_end->file_system_block == number) ++versions_end;
        const auto first = static_cast<std::size_t>(version - blocks_.begin());
        const auto end = static_cast<std::size_t>(versions_end - blocks_.begin());
        version = versions_end;
        error.clear();
        if (!newest_intact(first, end, reader, window_start, window_length, error)) {
            if (!error.empty()) return false;
            continue;
        }
        // The part of this block that the request covers.
        const std::uint64_t block_start = number * block_size_;
        const std::uint64_t from = std::max(block_start, offset);
        const std::uint64_t to = std::min(block_start + block_size_, offset + count);
        std::memcpy(bytes + (from - offset), block_.data() + (from - block_start), static_cast<std::size_t>(to - from));
    }
    return true;
}

}  // namespace dirtool
