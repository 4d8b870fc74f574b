// The blocks that replaying a journal's fast commits writes, kept in memory and read in place of
// the image's: the replay runs libext2fs's own calls over a channel whose writes land here and
// never reach the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace dirtool {

class captured_writes {
public:
    // `most_blocks` bounds the memory a hostile replay may take; `most_reads` the blocks it may read,
    // so that records that walk a large directory again and again end.
    captured_writes(std::uint32_t block_size, std::size_t most_blocks, std::uint64_t most_reads)
        : block_size_(block_size), most_blocks_(most_blocks), reads_left_(most_reads) {}

    // Puts what was written over bytes [offset, offset + count) in `bytes`.
    void cover(std::uint64_t offset, char* bytes, std::size_t count) const;

    // Takes the `count` bytes at `offset`. A block written in part is first read whole, as the file
    // system holds it, through `read_block`. False when the bound on blocks is reached or a read
    // fails.
    bool write(std::uint64_t offset, const char* bytes, std::size_t count,
               const std::function<bool(std::uint64_t block, char* into)>& read_block);

    // While open, the replay's channel may write and its reads are counted; closed, what was
    // written is only read.
    bool open() const { return open_; }
    void close() { open_ = false; }
    // Counts a read of `count` bytes against the bound; false once it is spent.
    bool charge_read(std::size_t count);
    bool bound_reached() const { return bound_reached_; }

    std::size_t block_count() const { return blocks_.size(); }
    std::uint32_t block_size() const { return block_size_; }

private:
    std::uint32_t block_size_;
    std::size_t most_blocks_;
    std::uint64_t reads_left_;
    bool open_ = true;
    bool bound_reached_ = false;
    std::map<std::uint64_t, std::vector<char>> blocks_;
};

}  // namespace dirtool
