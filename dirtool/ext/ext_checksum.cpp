// With metadata_csum, libext2fs checks a CRC-32C on the superblock, each group descriptor, inode
// and directory block it reads; its own CRC-32C goes through tables, a byte at a time, and was a
// sixth of a tool run's instructions. The link sends its calls here (ld's --wrap, set where this
// library is defined), to the processor's CRC32 instruction where there is one.
#include "base/bytes.h"

#include <cstddef>
#include <cstdint>

extern "C" std::uint32_t __wrap_ext2fs_crc32c_le(std::uint32_t crc, unsigned char const* bytes, std::size_t count) {
    return dirtool::crc32c_register(crc, bytes, count);
}
