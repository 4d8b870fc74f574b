// A 32 MiB disk of zeros with the input's regions written over it, each one a 32-bit offset, a
// 16-bit length and that many bytes (little-endian): room for the primary superblock near the start
// and the backups of groups 1 and 3 at 8 MiB and 24 MiB. The ext reader opens it, through a backup
// when it must, and lists the root and the folders in it; it may read only whole sectors inside
// the disk, and must end.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ext/ext.h"
#include "region_disk.h"

using fuzz_regions::region_disk;
using fuzz_regions::regions_of;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto disk = std::make_shared<dirtool::image_reader>(std::make_unique<region_disk>(regions_of(data, size)));
    static_cast<void>(dirtool::has_ext_magic(*disk));
    std::int64_t written = 0;
    static_cast<void>(dirtool::ext_last_written(disk, written));
    const std::unique_ptr<dirtool::device> ext = fuzz_regions::open_and_list(disk);
    if (!ext) return 0;
    std::uint64_t free_bytes = 0;
    static_cast<void>(ext->free_space(free_bytes));
    return 0;
}
