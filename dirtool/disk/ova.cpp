// An OVA: a tar archive holding an appliance's .ovf description and its disk, a streamOptimized
// VMDK. The disk is read in place, as a window over the member's bytes, where the tar stores it
// as it is; a member compressed on its own is not read.
#include "base/bytes.h"
#include "disk/containers.h"
#include "disk/parent_lookup.h"
#include "disk/vmdk.h"

#include <cstring>
#include <utility>

namespace dirtool {
namespace {

constexpr std::uint64_t block = 512;
constexpr unsigned most_members = 10000;
constexpr std::size_t largest_extended_header = 64 * 1024;

std::string field(const char* bytes, std::size_t length) { return std::string(bytes, strnlen(bytes, length)); }

// A tar number: octal digits, or a big-endian binary number behind a first byte of 0x80 where the
// value does not fit in octal (members of 8 GiB and more).
bool parse_number(const char* bytes, std::size_t length, std::uint64_t& value) {
    value = 0;
    if (static_cast<unsigned char>(bytes[0]) == 0x80) {
        for (std::size_t i = 1; i < length; ++i) {
            if (value >> 56) return false;
            value = (value << 8) | static_cast<unsigned char>(bytes[i]);
        }
        return true;
    }
    std::size_t i = 0;
    while (i < length && bytes[i] == ' ') ++i;
    for (; i < length && bytes[i] >= '0' && bytes[i] <= '7'; ++i) value = (value << 3) | static_cast<unsigned>(bytes[i] - '0');
    return i == length || bytes[i] == '\0' || bytes[i] == ' ';
}

bool checksum_holds(const char* header) {
    std::uint64_t stored = 0;
    if (!parse_number(header + 148, 8, stored)) return false;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < block; ++i) {
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(header[i]);
    }
    return sum == stored;
}

// The "path" and "size" records of a pax extended header ("27 path=disk1.vmdk\n"), which stand
// for the next member's own fields.
void read_extended_header(const std::string& records, std::string& path, std::uint64_t& size, bool& sized) {
    std::size_t at = 0;
    while (at < records.size()) {
        const std::size_t space = records.find(' ', at);
        std::uint64_t length = 0;
        if (space == std::string::npos) return;
        for (std::size_t i = at; i < space; ++i) {
            if (records[i] < '0' || records[i] > '9' || length > records.size()) return;
            length = length * 10 + static_cast<unsigned>(records[i] - '0');
        }
        if (length <= space - at + 1 || length > records.size() - at) return;
        const std::string record = records.substr(space + 1, static_cast<std::size_t>(length) - (space - at) - 2);
        if (record.compare(0, 5, "path=") == 0) path = record.substr(5);
        if (record.compare(0, 5, "size=") == 0) sized = parse_number(record.data() + 5, record.size() - 5, size);
        at += static_cast<std::size_t>(length);
    }
}

bool recognises_ova(const disk_probe& probe) {
    if (probe.head_length < block || std::memcmp(probe.head + 257, "ustar", 5) != 0) return false;
    const std::string first = field(probe.head, 100);
    return ends_with_ignoring_case(first, ".ovf") || ends_with_ignoring_case(first, ".vmdk");
}

std::unique_ptr<image_source> open_ova(std::unique_ptr<image_source> file, const std::string& path, unsigned depth,
                                       std::string& error) {
    auto tar = std::make_shared<image_reader>(std::move(file));
    const std::uint64_t size = tar->source().size();
    std::uint64_t at = 0;
    std::string long_name, compressed_disk;
    std::uint64_t extended_size = 0;
    bool sized = false;
    char header[block];
    for (unsigned members = 0; members < most_members && fits_inside(at, block, size); ++members) {
        if (tar->read(at, header, block, error) != image_reader::result::done) return nullptr;
        if (all_zero(header, block)) break;
        if (!checksum_holds(header)) {
            error = path + ": the tar header at byte " + std::to_string(at) + " is damaged";
            return nullptr;
        }
        std::uint64_t length = 0;
        if (!parse_number(header + 124, 12, length)) length = no_bytes_left;
        if (sized) length = extended_size;
        const std::uint64_t data = at + block;
        if (!fits_inside(data, length, size)) {
            error = path + ": the tar member at byte " + std::to_string(at) + " runs past the end of the file";
            return nullptr;
        }
        const char type = header[156];
        std::string name = long_name;
        if (name.empty()) {
            const std::string prefix = field(header + 345, 155);
            name = (prefix.empty() ? "" : prefix + "/") + field(header, 100);
        }
        if (type == 'x' || type == 'L') {
            if (length > largest_extended_header) {
                error = path + ": the tar member at byte " + std::to_string(at) + " has an extended header too large";
                return nullptr;
            }
            std::string text(static_cast<std::size_t>(length), '\0');
            if (length > 0 && tar->read(data, &text[0], text.size(), error) != image_reader::result::done) return nullptr;
            long_name.clear();
            sized = false;
            if (type == 'L') long_name = text.substr(0, strnlen(text.c_str(), text.size()));
            else read_extended_header(text, long_name, extended_size, sized);
        } else {
            long_name.clear();
            sized = false;
            if ((type == '0' || type == '\0') && ends_with_ignoring_case(name, ".vmdk")) {
                char magic[4] = {};
                if (length >= 4 && tar->read(data, magic, 4, error) != image_reader::result::done) return nullptr;
                const std::string disk = path + ": " + name;
                if (static_cast<unsigned char>(magic[0]) == 0x1f && static_cast<unsigned char>(magic[1]) == 0x8b) {
                    error = disk + ": the disk is compressed with gzip inside the OVA, which this tool does not read";
                    return nullptr;
                }
                if (length < 4 || !starts_vmdk_sparse_extent(magic, sizeof magic)) {
                    error = disk + ": the disk inside the OVA is not a sparse VMDK";
                    return nullptr;
                }
                return open_vmdk(open_window(tar, data, length), disk, depth, error);
            }
            if (compressed_disk.empty() && (ends_with_ignoring_case(name, ".vmdk.gz") || ends_with_ignoring_case(name, ".vmdk.gzip"))) {
                compressed_disk = name;
            }
        }
        at = saturated_sum(data, (length + block - 1) / block * block);
    }
    if (!compressed_disk.empty()) {
        error = path + ": its disk " + compressed_disk + " is compressed with gzip, which this tool does not read";
    } else {
        error = path + ": the OVA holds no .vmdk disk";
    }
    return nullptr;
}

}  // namespace

extern const container_format ova_format = {"OVA", recognises_ova, open_ova};

}  // namespace dirtool
