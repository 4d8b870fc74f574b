#include "ext/ext_channel.h"

#include "base/bytes.h"
#include "ext/captured_writes.h"
#include "ext/journal_overlay.h"

#include <cerrno>
#include <limits>
#include <new>
#include <string>

namespace dirtool {
namespace {

image_window* window_of(io_channel channel) {
    return static_cast<image_window*>(channel->private_data);
}

std::string& failure_of_last_read() {
    static std::string failure;
    return failure;
}

// Bytes [offset, offset + size) of the window as the file system stands: the image's, under the
// journal's versions, under what a fast-commit replay wrote. What lies past the window's end reads
// as zeros and makes a short read.
errcode_t read_window(const image_window& window, std::uint64_t offset, char* bytes, std::size_t size) {
    // Only what lies inside the window is read.
    const std::uint64_t inside = offset < window.length ? window.length - offset : 0;
    const std::size_t readable = inside < size ? static_cast<std::size_t>(inside) : size;
    std::string error;
    const image_reader::result result = window.reader->read(window.start + offset, bytes, readable, error);
    if (result == image_reader::result::failed) {
        failure_of_last_read() = error;
        return EIO;
    }
    // Blocks that committed transactions of an unrecovered journal wrote read as they wrote them.
    if (window.journal && !window.journal->cover(*window.reader, window.start, window.length, offset, bytes,
                                                 readable, error)) {
        failure_of_last_read() = error;
        return EIO;
    }
    if (window.writes) {
        if (!window.writes->charge_read(readable)) return EIO;
        window.writes->cover(offset, bytes, readable);
    }
    for (std::size_t i = readable; i < size; ++i) bytes[i] = 0;
    return result == image_reader::result::done && readable == size ? 0 : EXT2_ET_SHORT_READ;
}

// A request's bytes: a negative count is a number of bytes rather than of blocks. False when they
// would lie past any offset.
bool request_bytes(io_channel channel, unsigned long long block, int count, std::uint64_t& offset,
                   std::size_t& size) {
    const auto block_size = static_cast<std::uint64_t>(channel->block_size);
    size = count < 0 ? static_cast<std::size_t>(-static_cast<long long>(count))
                     : static_cast<std::size_t>(count) * static_cast<std::size_t>(block_size);
    if (block > std::numeric_limits<std::uint64_t>::max() / block_size) return false;
    offset = block * block_size;
    return true;
}

errcode_t read_blocks(io_channel channel, unsigned long long block, int count, void* data) {
    const image_window& window = *window_of(channel);
    std::uint64_t offset = 0;
    std::size_t size = 0;
    if (!request_bytes(channel, block, count, offset, size)) offset = window.length;
    return read_window(window, offset, static_cast<char*>(data), size);
}

// Writes reach only the captured blocks of a fast-commit replay, and only inside the window.
errcode_t write_blocks(io_channel channel, unsigned long long block, int count, const void* data) {
    const image_window& window = *window_of(channel);
    if (!window.writes || !window.writes->open()) return EXT2_ET_RO_FILSYS;
    std::uint64_t offset = 0;
    std::size_t size = 0;
    if (!request_bytes(channel, block, count, offset, size) || !fits_inside(offset, size, window.length)) {
        return EXT2_ET_SHORT_WRITE;
    }
    const std::uint32_t block_size = window.writes->block_size();
    const auto read_block = [&window, block_size](std::uint64_t number, char* into) {
        return read_window(window, number * block_size, into, block_size) == 0;
    };
    return window.writes->write(offset, static_cast<const char*>(data), size, read_block) ? 0 : EXT2_ET_SHORT_WRITE;
}

errcode_t read_blocks32(io_channel channel, unsigned long block, int count, void* data) {
    return read_blocks(channel, block, count, data);
}

errcode_t write_blocks32(io_channel channel, unsigned long block, int count, const void* data) {
    return write_blocks(channel, block, count, data);
}

errcode_t set_block_size(io_channel channel, int size) {
    if (size <= 0) return EXT2_ET_INVALID_ARGUMENT;
    channel->block_size = size;
    return 0;
}

errcode_t nothing_to_flush(io_channel) {
    return 0;
}

errcode_t no_options(io_channel, const char*, const char*) {
    return EXT2_ET_INVALID_ARGUMENT;
}

errcode_t close_channel(io_channel channel) {
    if (--channel->refcount > 0) return 0;
    delete window_of(channel);
    delete channel;
    return 0;
}

// The window the next open serves: the library names what it opens by a text alone.
const image_window* window_to_open = nullptr;

errcode_t open_pending(const char*, int flags, io_channel* opened) {
    if (window_to_open == nullptr) return EXT2_ET_BAD_DEVICE_NAME;
    return open_image_channel(*window_to_open, flags, opened);
}

struct_io_manager manager = {
    EXT2_ET_MAGIC_IO_MANAGER,
    "dirtool read-only image channel",
    open_pending,
    close_channel,
    set_block_size,
    read_blocks32,
    write_blocks32,
    nothing_to_flush,
    nullptr,  // write_byte: the library reports it unimplemented
    no_options,
    nullptr,  // get_stats
    read_blocks,
    write_blocks,
    nullptr,  // discard
    nullptr,  // cache_readahead
    nullptr,  // zeroout
    {},
};

char channel_name[] = "image";

}  // namespace

errcode_t open_image_channel(const image_window& window, int flags, io_channel* opened) {
    if (window.reader == nullptr) return EXT2_ET_BAD_DEVICE_NAME;
    if ((flags & IO_FLAG_RW) != 0 && !(window.writes && window.writes->open())) return EXT2_ET_RO_FILSYS;
    // No exception may cross the library's C frames.
    auto* own_window = new (std::nothrow) image_window(window);
    auto* channel = new (std::nothrow) struct_io_channel{};
    if (own_window == nullptr || channel == nullptr) {
        delete own_window;
        delete channel;
        return EXT2_ET_NO_MEMORY;
    }
    channel->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    channel->manager = &manager;
    channel->name = channel_name;
    channel->block_size = 1024;
    channel->refcount = 1;
    channel->private_data = own_window;
    *opened = channel;
    return 0;
}

const std::string& last_read_failure() { return failure_of_last_read(); }

errcode_t open_file_system(const image_window& window, ext2_filsys& fs) {
    return open_file_system(window, EXT2_FLAG_64BITS, 0, 0, fs);
}

errcode_t open_file_system(const image_window& window, int flags, int superblock, unsigned block_size,
                           ext2_filsys& fs) {
    // The library's error codes have texts only once their table is registered.
    static const bool error_texts = (initialize_ext2_error_table(), true);
    static_cast<void>(error_texts);
    window_to_open = &window;
    const errcode_t code = ext2fs_open2(channel_name, nullptr, flags, superblock, block_size, &manager, &fs);
    window_to_open = nullptr;
    return code;
}

}  // namespace dirtool
