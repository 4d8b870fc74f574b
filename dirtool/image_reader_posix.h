// The channel through which libext2fs reads a disk image: read-only, and no more work than a read
// needs. The library's own Unix channel syncs the image to disk when it opens it, which costs a
// device that is only read a disk flush on every run of the tool.
#pragma once

#include <ext2fs/ext2fs.h>

namespace dirtool {

// For ext2fs_open2. Refuses to open for writing; every write fails with EXT2_ET_RO_FILSYS.
io_manager image_reader();

}  // namespace dirtool
