// The sparse extent of a VMDK ("KDMV"): a header, a grain directory whose entries locate grain
// tables, and grain tables whose entries locate grains of the disk's data. A streamOptimized
// extent is written front to back: its grains are deflated, each behind a marker giving its first
// sector and length, and its header says that the directory is at the end, where the footer, a
// copy of the header 1024 bytes before the end, gives its place. Here the header is read and
// checked and the extent opened; vmdk_grains.cpp reads its grains.
#include "disk/vmdk_sparse.h"

#include "base/bytes.h"

#include <cstring>
#include <vector>

namespace dirtool {
namespace {

using vmdk_sparse::compressed_flag;
using vmdk_sparse::sector;
using vmdk_sparse::sparse_header;

constexpr std::uint32_t sparse_magic = 0x564d444b;  // "KDMV"
constexpr std::uint32_t cowd_magic = 0x44574f43;    // "COWD"
constexpr std::uint64_t directory_at_end = ~std::uint64_t{0};
constexpr std::uint32_t newline_test_flag = 1u << 0;
constexpr std::uint32_t redundant_directory_flag = 1u << 1;
constexpr std::uint16_t deflate_method = 1;
constexpr std::uint64_t most_sectors = std::uint64_t{1} << 47;
constexpr std::uint64_t largest_grain_sectors = 1u << 16;
constexpr std::uint32_t largest_table_entries = 1u << 16;

sparse_header parsed_header(const char* bytes) {
    sparse_header header;
    header.version = load_le32(bytes + 4);
    header.flags = load_le32(bytes + 8);
    header.capacity = load_le64(bytes + 12);
    header.grain_sectors = load_le64(bytes + 20);
    header.descriptor_offset = load_le64(bytes + 28);
    header.descriptor_sectors = load_le64(bytes + 36);
    header.table_entries = load_le32(bytes + 44);
    header.redundant_directory = load_le64(bytes + 48);
    header.directory = load_le64(bytes + 56);
    header.compression = load_le16(bytes + 77);
    // A transfer in text mode rewrites these four; the flag says they were written to be checked.
    header.line_ends_intact = bytes[73] == '\n' && bytes[74] == ' ' && bytes[75] == '\r' && bytes[76] == '\n';
    return header;
}

// The header's problem, or nothing when a reader can trust it.
std::string problem_of(const sparse_header& header) {
    if (header.version < 1 || header.version > 3) {
        return "its version " + std::to_string(header.version) + " is not one this tool reads";
    }
    if ((header.flags & newline_test_flag) && !header.line_ends_intact) {
        return "its line ends were changed by a transfer as text: the file is damaged";
    }
    if (header.grain_sectors == 0 || header.grain_sectors > largest_grain_sectors ||
        (header.grain_sectors & (header.grain_sectors - 1)) != 0) {
        return "its grains of " + std::to_string(header.grain_sectors) + " sectors are of no size a grain has";
    }
    if (header.table_entries == 0 || header.table_entries > largest_table_entries) {
        return "its grain tables of " + std::to_string(header.table_entries) + " entries are of no size a table has";
    }
    if (header.capacity > most_sectors) {
        return "its capacity of " + std::to_string(header.capacity) + " sectors is absurd";
    }
    if ((header.flags & compressed_flag) && header.compression != deflate_method) {
        return "its grains are compressed by method " + std::to_string(header.compression) +
               ", which this tool does not read";
    }
    if (header.descriptor_sectors * sector > largest_vmdk_descriptor) {
        return "its embedded descriptor of " + std::to_string(header.descriptor_sectors) +
               " sectors is larger than a descriptor can be";
    }
    return {};
}

}  // namespace

bool starts_vmdk_sparse_extent(const char* head, std::size_t length) {
    return length >= 4 && (load_le32(head) == sparse_magic || load_le32(head) == cowd_magic);
}

std::unique_ptr<vmdk_sparse_extent> vmdk_sparse_extent::open(std::shared_ptr<image_reader> file,
                                                             const std::string& name, std::string& error) {
    const std::uint64_t file_size = file->source().size();
    const auto fail = [&](const std::string& problem) {
        if (error.empty()) error = name + ": " + problem;
        return nullptr;
    };
    char bytes[sector];
    if (file_size < sector) return fail("it is too short for a VMDK sparse extent");
    if (file->read(0, bytes, sizeof bytes, error) != image_reader::result::done) return fail("it cannot be read");
    if (load_le32(bytes) == cowd_magic) return fail("it is an ESX 2 (COWD) sparse extent, which this tool does not read");
    if (load_le32(bytes) != sparse_magic) return fail("it is not a VMDK sparse extent");
    sparse_header header = parsed_header(bytes);
    if (header.directory == directory_at_end && problem_of(header).empty()) {
        // A stream: the footer holds the directory's place.
        if (file_size < 3 * sector) return fail("it is cut short: its footer is missing");
        if (file->read(file_size - 2 * sector, bytes, sizeof bytes, error) != image_reader::result::done) {
            return fail("its footer cannot be read");
        }
        if (load_le32(bytes) != sparse_magic) return fail("it has no footer where its header says: it is cut short");
        header = parsed_header(bytes);
        if (header.directory == directory_at_end) return fail("its footer does not say where its grain directory is");
    }
    const std::string problem = problem_of(header);
    if (!problem.empty()) return fail(problem);

    const std::uint64_t span = header.grain_sectors * header.table_entries;
    const std::uint64_t directory_bytes = (header.capacity + span - 1) / span * 4;
    std::vector<std::uint64_t> directories;
    const auto add_directory = [&](std::uint64_t at) {
        if (at != 0 && fits_inside(saturated_product(at, sector), directory_bytes, file_size)) directories.push_back(at);
    };
    add_directory(header.directory);
    if (header.flags & redundant_directory_flag) add_directory(header.redundant_directory);
    if (directories.empty()) {
        return fail("its grain directory at sector " + std::to_string(header.directory) +
                    " runs past the end of the file");
    }
    std::string descriptor;
    if (header.descriptor_offset != 0 && header.descriptor_sectors != 0) {
        const std::uint64_t start = saturated_product(header.descriptor_offset, sector);
        descriptor.resize(static_cast<std::size_t>(header.descriptor_sectors * sector));
        if (!fits_inside(start, descriptor.size(), file_size)) {
            return fail("its embedded descriptor runs past the end of the file");
        }
        if (file->read(start, &descriptor[0], descriptor.size(), error) != image_reader::result::done) {
            return fail("its embedded descriptor cannot be read");
        }
        descriptor.resize(std::strlen(descriptor.c_str()));
    }
    return vmdk_sparse::make_extent(std::move(file), name, header, std::move(directories), std::move(descriptor));
}

}  // namespace dirtool
