// The sparse extent of a VMDK ("KDMV"): a header, a grain directory whose entries locate grain
// tables, and grain tables whose entries locate grains of the disk's data. A streamOptimized
// extent is written front to back: its grains are deflated, each behind a marker giving its first
// sector and length, and its header says that the directory is at the end, where the footer, a
// copy of the header 1024 bytes before the end, gives its place.
#include "disk/vmdk.h"

#include "base/bytes.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace dirtool {
namespace {

constexpr std::uint32_t sparse_magic = 0x564d444b;  // "KDMV"
constexpr std::uint32_t cowd_magic = 0x44574f43;    // "COWD"
constexpr std::uint64_t directory_at_end = ~std::uint64_t{0};
constexpr std::uint32_t newline_test_flag = 1u << 0;
constexpr std::uint32_t redundant_directory_flag = 1u << 1;
constexpr std::uint32_t zeroed_grain_flag = 1u << 2;
constexpr std::uint32_t compressed_flag = 1u << 16;
constexpr std::uint16_t deflate_method = 1;
constexpr std::uint64_t sector = 512;
constexpr std::uint64_t most_sectors = std::uint64_t{1} << 47;
constexpr std::uint64_t largest_grain_sectors = 1u << 16;
constexpr std::uint32_t largest_table_entries = 1u << 16;
constexpr std::size_t cached_tables = 16;
// A directory's blocks and the inode table's lie in different grains, read by turns: a few
// inflated grains are kept, up to a budget that a grain of 32 MiB keeps to one.
constexpr std::size_t cached_grains = 8;
constexpr std::uint64_t inflated_budget = 4 * 1024 * 1024;
constexpr std::size_t grain_marker_size = 12;  // the first sector (8 bytes) and the length (4)

struct sparse_header {
    std::uint32_t version = 0;
    std::uint32_t flags = 0;
    std::uint64_t capacity = 0;  // in sectors, as every place and size below
    std::uint64_t grain_sectors = 0;
    std::uint64_t descriptor_offset = 0;
    std::uint64_t descriptor_sectors = 0;
    std::uint32_t table_entries = 0;
    std::uint64_t redundant_directory = 0;
    std::uint64_t directory = 0;
    std::uint16_t compression = 0;
    bool line_ends_intact = false;
};

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

class sparse_extent final : public vmdk_sparse_extent {
public:
    sparse_extent(std::shared_ptr<image_reader> file, std::string name, const sparse_header& header,
                  std::vector<std::uint64_t> directories, std::string descriptor)
        : file_(std::move(file)), name_(std::move(name)), header_(header), file_size_(file_->source().size()),
          directories_(std::move(directories)), descriptor_(std::move(descriptor)) {
        tables_.reserve(cached_tables);
    }

    std::uint64_t sectors() const override { return header_.capacity; }
    std::uint64_t grain_bytes() const override { return header_.grain_sectors * sector; }
    const std::string& embedded_descriptor() const override { return descriptor_; }

    grain_state read(std::uint64_t offset, char* data, std::size_t count, std::string& error) override {
        const std::uint64_t grain = offset / grain_bytes();
        const std::uint64_t within = offset % grain_bytes();
        std::uint32_t entry = 0;
        std::string damage;
        lookup found = lookup::damaged;
        // The redundant directory is asked only where the primary one points outside the file.
        for (std::uint64_t directory : directories_) {
            found = entry_for(directory, grain, entry, damage, error);
            if (found != lookup::damaged) break;
        }
        switch (found) {
            case lookup::absent: return grain_state::absent;
            case lookup::zero: return grain_state::zero;
            case lookup::failed: return grain_state::failed;
            case lookup::damaged: error = name_ + ": " + damage; return grain_state::failed;
            case lookup::found: break;
        }
        if (header_.flags & compressed_flag) {
            const char* inflated = inflate_grain(grain, entry, error);
            if (inflated == nullptr) return grain_state::failed;
            std::memcpy(data, inflated + within, count);
            return grain_state::data;
        }
        return read_bytes(std::uint64_t{entry} * sector + within, data, count, error) ? grain_state::data
                                                                                        : grain_state::failed;
    }

private:
    enum class lookup { found, absent, zero, damaged, failed };

    bool read_bytes(std::uint64_t offset, char* data, std::size_t count, std::string& error) {
        switch (file_->read(offset, data, count, error)) {
            case image_reader::result::done: return true;
            case image_reader::result::past_the_end: error = name_ + ": the file is cut short"; return false;
            case image_reader::result::failed: return false;
        }
        return false;
    }

    // The grain table entry of `grain` through the directory at sector `directory`.
    lookup entry_for(std::uint64_t directory, std::uint64_t grain, std::uint32_t& entry, std::string& damage,
                     std::string& error) {
        const std::uint64_t table = grain / header_.table_entries;
        char raw[4];
        if (!read_bytes(directory * sector + table * 4, raw, sizeof raw, error)) return lookup::failed;
        const std::uint64_t table_sector = load_le32(raw);
        if (table_sector == 0) return lookup::absent;
        if (!fits_inside(table_sector * sector, std::uint64_t{header_.table_entries} * 4, file_size_)) {
            damage = "its grain directory entry " + std::to_string(table) + " points past the end of the file";
            return lookup::damaged;
        }
        const std::vector<std::uint32_t>* entries = table_at(table_sector, error);
        if (entries == nullptr) return lookup::failed;
        entry = (*entries)[static_cast<std::size_t>(grain % header_.table_entries)];
        if (entry == 0) return lookup::absent;
        if (entry == 1 && (header_.flags & zeroed_grain_flag)) return lookup::zero;
        // A grain in the file: the whole of it, or its marker when it is compressed.
        const std::uint64_t left = (header_.capacity - grain * header_.grain_sectors) * sector;
        const std::uint64_t needed =
            (header_.flags & compressed_flag) ? grain_marker_size : std::min(grain_bytes(), left);
        if (!fits_inside(std::uint64_t{entry} * sector, needed, file_size_)) {
            damage = "its grain table entry for sector " + std::to_string(grain * header_.grain_sectors) +
                     " points past the end of the file";
            return lookup::damaged;
        }
        return lookup::found;
    }

    const std::vector<std::uint32_t>* table_at(std::uint64_t table_sector, std::string& error) {
        ++clock_;
        for (cached_table& table : tables_) {
            if (table.sector == table_sector) {
                table.used = clock_;
                return &table.entries;
            }
        }
        cached_table* slot = nullptr;
        if (tables_.size() < cached_tables) {
            slot = &tables_.emplace_back();
        } else {
            slot = &*std::min_element(tables_.begin(), tables_.end(),
                                      [](const cached_table& a, const cached_table& b) { return a.used < b.used; });
        }
        slot->sector = 0;  // no table lies at sector 0, the header's
        raw_table_.resize(std::size_t{header_.table_entries} * 4);
        if (!read_bytes(table_sector * sector, raw_table_.data(), raw_table_.size(), error)) return nullptr;
        slot->entries.resize(header_.table_entries);
        for (std::size_t i = 0; i < slot->entries.size(); ++i) slot->entries[i] = load_le32(raw_table_.data() + 4 * i);
        slot->sector = table_sector;
        slot->used = clock_;
        return &slot->entries;
    }

    // The grain whose compressed marker is at sector `at`, inflated to at most a grain, from the
    // cache or into its least recently used slot.
    const char* inflate_grain(std::uint64_t grain, std::uint32_t at, std::string& error) {
        ++clock_;
        for (inflated_grain& kept : grains_) {
            if (kept.grain == grain) {
                kept.used = clock_;
                return kept.bytes.data();
            }
        }
        const std::size_t slots = static_cast<std::size_t>(
            std::max<std::uint64_t>(1, std::min<std::uint64_t>(cached_grains, inflated_budget / grain_bytes())));
        inflated_grain* slot = nullptr;
        if (grains_.size() < slots) {
            slot = &grains_.emplace_back();
        } else {
            slot = &*std::min_element(grains_.begin(), grains_.end(),
                                      [](const inflated_grain& a, const inflated_grain& b) { return a.used < b.used; });
        }
        slot->grain = ~std::uint64_t{0};
        char marker[grain_marker_size];
        const std::uint64_t start = std::uint64_t{at} * sector;
        if (!read_bytes(start, marker, sizeof marker, error)) return nullptr;
        const std::uint64_t first_sector = load_le64(marker);
        const std::uint32_t length = load_le32(marker + 8);
        const std::string where = name_ + ": the compressed grain at sector " + std::to_string(at);
        if (first_sector != grain * header_.grain_sectors) {
            error = where + " holds sector " + std::to_string(first_sector) + ", not " +
                    std::to_string(grain * header_.grain_sectors);
            return nullptr;
        }
        // Deflate makes data that does not shrink a little longer, never by a tenth.
        if (length == 0 || length > grain_bytes() + grain_bytes() / 10 + 1024 ||
            !fits_inside(start + grain_marker_size, length, file_size_)) {
            error = where + " is " + std::to_string(length) + " bytes long, which the file cannot hold";
            return nullptr;
        }
        compressed_.resize(length);
        if (!read_bytes(start + grain_marker_size, compressed_.data(), length, error)) return nullptr;
        std::vector<char>& inflated = slot->bytes;
        inflated.resize(static_cast<std::size_t>(grain_bytes()));
        z_stream stream{};
        if (inflateInit(&stream) != Z_OK) {
            error = where + " cannot be inflated: no memory";
            return nullptr;
        }
        stream.next_in = reinterpret_cast<Bytef*>(compressed_.data());
        stream.avail_in = length;
        stream.next_out = reinterpret_cast<Bytef*>(inflated.data());
        stream.avail_out = static_cast<uInt>(inflated.size());
        const int outcome = inflate(&stream, Z_FINISH);
        const std::size_t produced = inflated.size() - stream.avail_out;
        inflateEnd(&stream);
        if (outcome != Z_STREAM_END) {
            error = where + (stream.avail_out == 0 ? " inflates past the grain's size" : " does not inflate");
            return nullptr;
        }
        // The disk's last grain may stop short of a whole grain.
        std::fill(inflated.begin() + static_cast<std::ptrdiff_t>(produced), inflated.end(), '\0');
        slot->grain = grain;
        slot->used = clock_;
        return inflated.data();
    }

    struct inflated_grain {
        std::uint64_t grain = ~std::uint64_t{0};
        std::uint64_t used = 0;
        std::vector<char> bytes;
    };

    struct cached_table {
        std::uint64_t sector = 0;
        std::uint64_t used = 0;
        std::vector<std::uint32_t> entries;
    };

    std::shared_ptr<image_reader> file_;
    std::string name_;
    sparse_header header_;
    std::uint64_t file_size_;
    std::vector<std::uint64_t> directories_;  // the primary first, then the redundant one
    std::string descriptor_;
    std::vector<cached_table> tables_;
    std::uint64_t clock_ = 0;
    std::vector<char> raw_table_;
    std::vector<char> compressed_;
    std::vector<inflated_grain> grains_;
};

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
    return std::make_unique<sparse_extent>(std::move(file), name, header, std::move(directories),
                                           std::move(descriptor));
}

}  // namespace dirtool
