// VirtualBox's disk images (VDI): what vdi.cpp, which serves the virtual disk, and vdi_parent.cpp,
// which finds a differencing image's parent, share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {
namespace vdi {

// A UUID as the file stores it: the first three fields little-endian, the rest as bytes.
using uuid = std::array<unsigned char, 16>;

constexpr std::uint32_t signature = 0xBEDA107F;
constexpr std::size_t signature_offset = 0x40;
// The fields read here end at the parent's modification UUID, 0x1C8 bytes from the file's start.
constexpr std::size_t header_length = 0x1C8;

enum class image_type : std::uint32_t { normal = 1, fixed = 2, undo = 3, differencing = 4 };

// Block map entries that name no block of the file.
constexpr std::uint32_t block_not_allocated = 0xFFFFFFFF;
constexpr std::uint32_t block_zeroed = 0xFFFFFFFE;

struct header {
    image_type type = image_type::normal;
    std::uint64_t block_map_offset = 0;
    std::uint64_t data_offset = 0;
    std::uint64_t disk_size = 0;
    std::uint32_t block_size = 0;
    std::uint32_t block_extra = 0;  // bytes before each block's data in the file
    std::uint32_t block_count = 0;
    std::uint32_t blocks_allocated = 0;
    uuid image{};
    uuid parent{};  // the parent's image UUID, in a differencing image
};

// Reads and checks the header in the file's first `length` bytes, against the file's size. False,
// with what is wrong in `problem`, for a header this tool cannot trust.
bool parse_header(const char* bytes, std::size_t length, std::uint64_t file_size, header& parsed,
                  std::string& problem);

// Whether blocks the image does not hold are read from a parent.
bool has_parent(const header& parsed);

// "{01234567-89ab-cdef-0123-456789abcdef}", as VirtualBox writes a UUID; the braces are optional
// when read back.
std::string uuid_text(const uuid& id);
bool parse_uuid(const std::string& text, uuid& id);

// A disk that a VirtualBox machine's settings file (.vbox) names: its UUID and its path, as written.
struct listed_disk {
    std::string uuid;
    std::string location;
};

// Every <HardDisk> element of a settings file, nested ones included, in the order they stand.
std::vector<listed_disk> hard_disks_in(const std::string& settings);

// The path of the parent of the differencing image at `child_path`: the image whose UUID is
// `parent`, found through the settings files of the child's folder and the one above it, else
// among the .vdi files of those folders. Empty, with one message that names the child in `error`,
// when there is none.
std::string find_parent(const std::string& child_path, const uuid& parent, std::string& error);

}  // namespace vdi
}  // namespace dirtool
