#include "image_reader_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

namespace dirtool {
namespace {

// Blocks come in one at a time, mostly in a row (a directory's blocks, an inode table's), so each
// read from the image fills a window that serves the blocks after it without another system call.
constexpr std::size_t window_size = 4 * 1024;

struct image_file {
    int descriptor = -1;
    std::string name;
    char window[window_size];
    std::uint64_t window_start = 0;
    std::size_t window_length = 0;
};

image_file* file_of(io_channel channel) {
    return static_cast<image_file*>(channel->private_data);
}

// Fills `data` with `size` bytes from `offset`, reading past what it was asked for only into the
// window. Bytes past the end of the image read as zeros, and the read fails as a short one.
errcode_t read_bytes(image_file& file, std::uint64_t offset, std::size_t size, char* data) {
    const std::uint64_t window_end = file.window_start + file.window_length;
    if (offset >= file.window_start && offset + size <= window_end) {
        std::memcpy(data, file.window + (offset - file.window_start), size);
        return 0;
    }
    const bool through_window = size < window_size;
    char* target = through_window ? file.window : data;
    const std::size_t wanted = through_window ? window_size : size;
    std::size_t got = 0;
    while (got < wanted) {
        const ssize_t part = pread(file.descriptor, target + got, wanted - got, static_cast<off_t>(offset + got));
        if (part < 0 && errno == EINTR) continue;
        if (part < 0) {
            file.window_length = 0;
            return errno;
        }
        if (part == 0) break;
        got += static_cast<std::size_t>(part);
    }
    if (through_window) {
        file.window_start = offset;
        file.window_length = got;
        std::memcpy(data, file.window, std::min(got, size));
    }
    if (got >= size) return 0;
    std::memset(data + got, 0, size - got);
    return EXT2_ET_SHORT_READ;
}

errcode_t read_blocks(io_channel channel, unsigned long long block, int count, void* data) {
    // A negative count is a number of bytes rather than of blocks.
    const auto block_size = static_cast<std::size_t>(channel->block_size);
    const std::size_t size = count < 0 ? static_cast<std::size_t>(-static_cast<long long>(count))
                                       : static_cast<std::size_t>(count) * block_size;
    const std::uint64_t offset = std::uint64_t{block} * block_size;
    return read_bytes(*file_of(channel), offset, size, static_cast<char*>(data));
}

errcode_t read_blocks32(io_channel channel, unsigned long block, int count, void* data) {
    return read_blocks(channel, block, count, data);
}

errcode_t refuse_write(io_channel, unsigned long long, int, const void*) {
    return EXT2_ET_RO_FILSYS;
}

errcode_t refuse_write32(io_channel, unsigned long, int, const void*) {
    return EXT2_ET_RO_FILSYS;
}

errcode_t set_block_size(io_channel channel, int size) {
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
    image_file* file = file_of(channel);
    const errcode_t result = close(file->descriptor) == 0 ? 0 : errno;
    delete file;
    delete channel;
    return result;
}

errcode_t open_channel(const char* name, int flags, io_channel* opened);

struct_io_manager reader = {
    EXT2_ET_MAGIC_IO_MANAGER,
    "dirtool read-only image reader",
    open_channel,
    close_channel,
    set_block_size,
    read_blocks32,
    refuse_write32,
    nothing_to_flush,
    nullptr,  // write_byte: the library reports it unimplemented
    no_options,
    nullptr,  // get_stats
    read_blocks,
    refuse_write,
    nullptr,  // discard
    nullptr,  // cache_readahead
    nullptr,  // zeroout
    {},
};

errcode_t open_channel(const char* name, int flags, io_channel* opened) {
    if (name == nullptr) return EXT2_ET_BAD_DEVICE_NAME;
    if ((flags & IO_FLAG_RW) != 0) return EXT2_ET_RO_FILSYS;
    // No exception may cross the library's C frames.
    auto* file = new (std::nothrow) image_file;
    auto* channel = new (std::nothrow) struct_io_channel{};
    if (file == nullptr || channel == nullptr) {
        delete file;
        delete channel;
        return EXT2_ET_NO_MEMORY;
    }
    try {
        file->name = name;
    } catch (const std::bad_alloc&) {
        delete file;
        delete channel;
        return EXT2_ET_NO_MEMORY;
    }
    file->descriptor = open(name, O_RDONLY | O_CLOEXEC);
    if (file->descriptor < 0) {
        const errcode_t error = errno;
        delete file;
        delete channel;
        return error;
    }
    channel->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    channel->manager = &reader;
    channel->name = file->name.data();
    channel->block_size = 1024;
    channel->refcount = 1;
    channel->private_data = file;
    *opened = channel;
    return 0;
}

}  // namespace

io_manager image_reader() {
    return &reader;
}

}  // namespace dirtool
