// The channel through which libext2fs reads an ext2/3/4 file system out of an image: read-only, over
// a byte window of the image (all of it, or one partition), on every host. The library's own
// channels open a file by name for writing as well as reading, sync it and know nothing of windows.
#pragma once

#include "disk/disk.h"

#include <sys/types.h>  // mode_t, which ext2fs.h uses without including it on MinGW

#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <memory>
#include <string>

namespace dirtool {

class captured_writes;
class journal_overlay;

// The bytes [start, start + length) of an image. Reads past the window's end read zeros and fail.
struct image_window {
    image_reader* reader = nullptr;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    // The blocks a journal's recovery would write, read in place of the image's; null for none.
    std::shared_ptr<journal_overlay> journal;
    // Over those, the blocks that replaying the journal's fast commits wrote; null for none. While
    // they are open for writing, a channel over the window may be opened for writing too, and its
    // writes land there.
    std::shared_ptr<captured_writes> writes;
};

// What the disk said of the last read that failed (a container's damaged table, a host error), which
// the library only reports as EIO; empty while none has failed.
const std::string& last_read_failure();

// Opens the file system stored in `window`, read-only. The reader must outlive the file system.
errcode_t open_file_system(const image_window& window, ext2_filsys& fs);

// The same with the library's open `flags`, through the superblock at block `superblock` of
// `block_size` bytes (0 and 0: the primary superblock).
errcode_t open_file_system(const image_window& window, int flags, int superblock, unsigned block_size,
                           ext2_filsys& fs);

// A channel over `window`, as the library opens one. Refuses to open for writing, and every write
// fails with EXT2_ET_RO_FILSYS, unless the window's captured writes are open.
errcode_t open_image_channel(const image_window& window, int flags, io_channel* opened);

}  // namespace dirtool
