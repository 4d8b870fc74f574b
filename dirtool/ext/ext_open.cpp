#include "ext/ext_open.h"

#include "base/bytes.h"
#include "ext/ext_entries.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace dirtool {
namespace ext {

namespace {

constexpr int open_flags = EXT2_FLAG_64BITS | EXT2_FLAG_SUPER_ONLY;
constexpr std::uint64_t superblock_offset = 1024;
// A file system without sparse_super has a backup in every group: past this many, the rest are
// as damaged as the ones tried.
constexpr std::size_t most_places_tried = 64;
// When nothing says where the backups are, the groups looked at for each block size.
constexpr std::uint32_t default_groups[] = {1, 3, 5, 7, 9, 25, 27, 49};

bool read_superblock(const image_window& window, std::uint64_t offset, ext2_super_block& super) {
    static_assert(sizeof super == 1024, "the superblock is 1024 bytes on the disk");
    std::string ignored;
    if (offset > window.length || window.length - offset < sizeof super) return false;
    return window.reader->read(window.start + offset, reinterpret_cast<char*>(&super), sizeof super, ignored) ==
           image_reader::result::done;
}

// The 0x55 0xAA that ends an MBR, a GPT's protective MBR and a boot sector: a file system keeps its
// first 1024 bytes free, and the ones a boot loader writes there do not hold it. Reading the whole
// partition table, its CRCs summed, would cost every run over a whole disk more than the rest.
bool has_boot_signature(const image_window& window) {
    unsigned char signature[2] = {};
    std::string ignored;
    return window.length >= 512 &&
           window.reader->read(window.start + 510, reinterpret_cast<char*>(signature), 2, ignored) ==
               image_reader::result::done &&
           signature[0] == 0x55 && signature[1] == 0xaa;
}

// Of a superblock whose s_log_block_size has been checked.
unsigned block_size_of(const ext2_super_block& super) {
    return 1024u << super.s_log_block_size;
}

std::uint64_t byte_offset(const superblock_place& place) {
    return saturated_product(place.block, place.block_size);
}

// Whether the superblock read at `place` is the backup that group's place holds: a superblock of
// that block size that says it is the copy in that group, at the block its own geometry puts it.
bool is_backup_at(const ext2_super_block& super, const superblock_place& place) {
    const unsigned largest_log = EXT2_MAX_BLOCK_LOG_SIZE - EXT2_MIN_BLOCK_LOG_SIZE;
    if (super.s_magic != EXT2_SUPER_MAGIC || super.s_log_block_size > largest_log) return false;
    return block_size_of(super) == place.block_size && super.s_block_group_nr == (place.group & 0xffffu) &&
           super.s_first_data_block + static_cast<std::uint64_t>(place.group) * super.s_blocks_per_group == place.block;
}

// Why a backup cannot belong with a primary superblock that could be read; empty when it can.
std::string contradiction(const ext2_super_block& primary, const ext2_super_block& backup) {
    if (std::memcmp(primary.s_uuid, backup.s_uuid, sizeof primary.s_uuid) != 0) {
        return "it belongs to another file system (its UUID differs from the primary superblock's)";
    }
    if (primary.s_log_block_size != backup.s_log_block_size ||
        primary.s_blocks_per_group != backup.s_blocks_per_group ||
        primary.s_inodes_per_group != backup.s_inodes_per_group ||
        primary.s_first_data_block != backup.s_first_data_block) {
        return "its geometry differs from the primary superblock's";
    }
    return {};
}

std::string place_text(const superblock_place& place) {
    return "the backup superblock at block " + std::to_string(place.block) + " (" + std::to_string(place.block_size) +
           "-byte blocks)";
}

// Group 0's descriptor read and checked: every run starts at the root, which lives there.
bool use_descriptors(const image_window& window, ext2_filsys fs, blk64_t superblock, group_descriptors& groups,
                     std::string& error) {
    return groups.attach(fs, superblock, window.length, error) && groups.use_group(0, error);
}

// The errors a backup may mend: the superblock is not one, or says impossible things.
bool mendable(errcode_t code) {
    return code == EXT2_ET_BAD_MAGIC || code == EXT2_ET_SB_CSUM_INVALID || code == EXT2_ET_CORRUPT_SUPERBLOCK ||
           code == EXT2_ET_BAD_DESC_SIZE || code == EXT2_ET_UNKNOWN_CSUM;
}

}  // namespace

std::vector<superblock_place> backup_places(ext2_super_block primary, std::uint64_t disk_length) {
    std::vector<superblock_place> places;
    if (primary.s_log_block_size > EXT2_MAX_BLOCK_LOG_SIZE - EXT2_MIN_BLOCK_LOG_SIZE) return places;
    const unsigned block_size = block_size_of(primary);
    const std::uint64_t per_group = primary.s_blocks_per_group;
    const std::uint64_t blocks = ext2fs_blocks_count(&primary);
    if (per_group < 8 || per_group > 8ull * block_size || blocks <= primary.s_first_data_block) return places;
    const std::uint64_t groups = (blocks - primary.s_first_data_block + per_group - 1) / per_group;

    std::vector<std::uint64_t> chosen;
    if (ext2fs_has_feature_sparse_super2(&primary)) {
        chosen = {primary.s_backup_bgs[0], primary.s_backup_bgs[1]};
    } else if (ext2fs_has_feature_sparse_super(&primary)) {
        chosen.push_back(1);
        for (const std::uint64_t base : {3u, 5u, 7u}) {
            for (std::uint64_t power = base; power < groups; power *= base) chosen.push_back(power);
        }
    } else {
        for (std::uint64_t group = 1; group < groups && group <= most_places_tried; ++group) chosen.push_back(group);
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    for (const std::uint64_t group : chosen) {
        const std::uint64_t block = primary.s_first_data_block + group * per_group;
        if (group > 0 && group < groups && block < disk_length / block_size && places.size() < most_places_tried) {
            places.push_back({block, block_size, static_cast<std::uint32_t>(group)});
        }
    }
    return places;
}

std::vector<superblock_place> default_backup_places(std::uint64_t disk_length) {
    std::vector<superblock_place> places;
    for (unsigned block_size = 1024; block_size <= 65536; block_size *= 2) {
        const std::uint64_t first_data_block = block_size == 1024 ? 1 : 0;
        for (const std::uint32_t group : default_groups) {
            const superblock_place place{first_data_block + std::uint64_t{group} * 8 * block_size, block_size, group};
            if (fits_inside(byte_offset(place), superblock_offset, disk_length)) places.push_back(place);
        }
    }
    std::stable_sort(places.begin(), places.end(), [](const superblock_place& a, const superblock_place& b) {
        return byte_offset(a) < byte_offset(b);
    });
    return places;
}

bool has_backup_superblock(const image_window& window) {
    for (const superblock_place& place : default_backup_places(window.length)) {
        ext2_super_block super;
        if (place.group == 1 && read_superblock(window, byte_offset(place), super) && is_backup_at(super, place)) {
            return true;
        }
    }
    return false;
}

bool open_with_backups(const image_window& window, opened_file_system& opened, std::string& error) {
    ext2_filsys fs = nullptr;
    const errcode_t code = open_file_system(window, open_flags, 0, 0, fs);
    std::string problem;
    if (code == 0 && use_descriptors(window, fs, 0, opened.groups, problem)) {
        opened.fs = fs;
        return true;
    }
    if (fs != nullptr) ext2fs_close_free(&fs);
    if (code != 0 && !mendable(code)) {
        error = library_error(code);
        return false;
    }
    error = code != 0 ? std::string(error_message(code)) : "its group descriptors cannot be used: " + problem;

    ext2_super_block primary{};
    const bool primary_has_magic = read_superblock(window, superblock_offset, primary) &&
                                   primary.s_magic == EXT2_SUPER_MAGIC;
    // Only a primary superblock that the library could read whole is one a backup must agree with.
    const bool primary_readable = code == 0 && primary_has_magic;
    // A whole disk starts with its partition table, not with a file system that lost its superblock.
    if (!primary_has_magic && has_boot_signature(window)) return false;

    std::vector<superblock_place> places;
    if (primary_has_magic) places = backup_places(primary, window.length);
    for (const superblock_place& place : default_backup_places(window.length)) {
        const bool known = std::any_of(places.begin(), places.end(), [&](const superblock_place& other) {
            return byte_offset(other) == byte_offset(place);
        });
        if (!known) places.push_back(place);
    }

    std::string backup_problem;
    for (const superblock_place& place : places) {
        ext2_super_block backup;
        if (place.block > INT_MAX || !read_superblock(window, byte_offset(place), backup) ||
            !is_backup_at(backup, place)) {
            continue;
        }
        const std::string against = primary_readable ? contradiction(primary, backup) : std::string();
        if (!against.empty()) {
            opened.notices.push_back("ignoring " + place_text(place) + ": " + against);
            continue;
        }
        const errcode_t backup_code =
            open_file_system(window, open_flags, static_cast<int>(place.block), place.block_size, fs);
        std::string descriptors_problem;
        if (backup_code == 0 && use_descriptors(window, fs, place.block, opened.groups, descriptors_problem)) {
            opened.fs = fs;
            opened.notices.push_back("the primary superblock cannot be used (" + error + "): reading through " +
                                     place_text(place));
            return true;
        }
        if (fs != nullptr) ext2fs_close_free(&fs);
        if (backup_problem.empty()) {
            backup_problem = place_text(place) + " cannot be used either: " +
                             (backup_code != 0 ? std::string(error_message(backup_code)) : descriptors_problem);
        }
    }
    error += "; " + (backup_problem.empty() ? std::string("no usable backup superblock found") : backup_problem);
    for (const std::string& notice : opened.notices) error += "; " + notice;
    opened.notices.clear();
    return false;
}

}  // namespace ext
}  // namespace dirtool
