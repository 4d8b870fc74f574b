// A file system as its journal's recovery would leave it, without writing the image: the blocks the
// committed transactions wrote are served, in their newest version, in place of the image's, each
// read from the journal only when the file system asks for it.
#pragma once

#include "disk/disk.h"
#include "ext/ext_channel.h"
#include "ext/journal.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

// Blocks [journal_first, journal_first + count) of the journal lie at file-system blocks
// [file_system_first, ...).
struct journal_extent {
    std::uint64_t journal_first = 0;
    std::uint64_t file_system_first = 0;
    std::uint64_t count = 0;
};

// Where journal block `number` lies in the file system, in bytes; false when the journal's file
// does not hold it. `extents` are ordered by journal block.
bool locate_journal_block(const std::vector<journal_extent>& extents, std::uint64_t number,
                          std::uint32_t block_size, std::uint64_t& offset);

class journal_overlay {
public:
    // `extents` ordered by journal block, none reaching past `window_length`.
    journal_overlay(journal_replay replay, std::vector<journal_extent> extents, std::uint32_t block_size);

    // Puts the journal's versions of whatever blocks [offset, offset + count) of the window cover
    // over the image's bytes already in `bytes`. False, with a message, when the journal cannot be
    // read there.
    bool cover(image_reader& reader, std::uint64_t window_start, std::uint64_t window_length, std::uint64_t offset,
               char* bytes, std::size_t count, std::string& error);

    std::size_t block_count() const { return blocks_.size(); }

private:
    bool cover_blocks(image_reader& reader, std::uint64_t window_start, std::uint64_t window_length,
                      std::uint64_t offset, char* bytes, std::size_t count, std::string& error);
    // The newest version of one block that passes its checksum, into `block_`; false when there
    // is none and the image's block stands.
    bool newest_intact(std::size_t first, std::size_t end, image_reader& reader, std::uint64_t window_start,
                       std::uint64_t window_length, std::string& error);

    std::vector<journaled_block> blocks_;
    std::vector<journal_extent> extents_;
    std::uint32_t block_size_;
    std::uint32_t seed_;
    std::vector<unsigned char> block_;
};

// When the file system in `window` was not unmounted cleanly and its journal lies inside it: puts
// into `window` the overlay that recovery's full commits make and the blocks its fast commits
// write, each left null when there are none. Says on standard error, once, that the file system
// needed recovery and what was done about it, naming it `name`.
void recover_journal(image_window& window, const std::string& name);

}  // namespace dirtool
