#include "ext/captured_writes.h"

#include <algorithm>
#include <cstring>

namespace dirtool {

void captured_writes::cover(std::uint64_t offset, char* bytes, std::size_t count) const {
    if (count == 0 || blocks_.empty()) return;
    const std::uint64_t end = offset + count;
    for (auto block = blocks_.lower_bound(offset / block_size_);
         block != blocks_.end() && block->first * block_size_ < end; ++block) {
        const std::uint64_t block_start = block->first * block_size_;
        const std::uint64_t from = std::max(block_start, offset);
        const std::uint64_t to = std::min(block_start + block_size_, end);
        std::memcpy(bytes + (from - offset), block->second.data() + (from - block_start),
                    static_cast<std::size_t>(to - from));
    }
}

bool captured_writes::write(std::uint64_t offset, const char* bytes, std::size_t count,
                            const std::function<bool(std::uint64_t block, char* into)>& read_block) {
    const std::uint64_t end = offset + count;
    for (std::uint64_t number = offset / block_size_; number * block_size_ < end; ++number) {
        const std::uint64_t block_start = number * block_size_;
        const std::uint64_t from = std::max(block_start, offset);
        const std::uint64_t to = std::min(block_start + block_size_, end);
        auto found = blocks_.find(number);
        if (found == blocks_.end()) {
            if (blocks_.size() >= most_blocks_) {
                bound_reached_ = true;
                return false;
            }
            std::vector<char> block(block_size_);
            // A block written whole needs nothing of what it held.
            if (to - from < block_size_ && !read_block(number, block.data())) return false;
            found = blocks_.emplace(number, std::move(block)).first;
        }
        std::memcpy(found->second.data() + (from - block_start), bytes + (from - offset),
                    static_cast<std::size_t>(to - from));
    }
    return true;
}

bool captured_writes::charge_read(std::size_t count) {
    if (!open_) return true;
    const std::uint64_t blocks = (count + block_size_ - 1) / block_size_;
    if (blocks > reads_left_) {
        bound_reached_ = true;
        return false;
    }
    reads_left_ -= blocks;
    return true;
}

}  // namespace dirtool
