// The header of a QCOW2 image and its extensions (version 1's is read by qcow1.cpp): every field
// the reader relies on is checked against the file and against the format's limits here, so that
// the cluster mapping can trust the cluster size, the L1 table's place and the names of the other
// files.
#include "disk/qcow2.h"

#include "base/bytes.h"

#include <cstring>
#include <vector>

namespace dirtool {
namespace qcow2 {
namespace {

constexpr std::size_t version2_header_length = 72;
constexpr std::size_t version3_header_length = 104;
constexpr unsigned least_cluster_bits = 9;
constexpr unsigned most_cluster_bits = 21;  // 2 MiB, the largest cluster QEMU writes
constexpr unsigned least_extended_cluster_bits = 14;
constexpr std::uint32_t longest_backing_name = 1023;
constexpr std::uint32_t longest_extension_name = 4096;
// No virtual disk is larger than what a signed 64-bit offset can address.
constexpr std::uint64_t largest_size = std::uint64_t{1} << 63;

enum incompatible_bit : std::uint64_t {
    dirty = 1u << 0,  // refcounts may be stale: reading does not use them
    corrupt = 1u << 1,
    external_data = 1u << 2,
    compression_type = 1u << 3,
    extended_l2 = 1u << 4,
};
constexpr std::uint64_t known_incompatible = dirty | corrupt | external_data | compression_type | extended_l2;

enum extension_type : std::uint32_t {
    end_of_extensions = 0,
    backing_format_name = 0xe2792acau,
    feature_name_table = 0x6803f857u,
    data_file_name = 0x44415441u,
};

struct extensions {
    std::string backing_format;
    bool has_data_file = false;
    std::string data_file;
    std::vector<char> feature_names;  // 48-byte entries: type, bit, name
};

// Names the unknown incompatible features, as the image's own feature name table calls them.
std::string unknown_features(std::uint64_t bits, const std::vector<char>& names) {
    std::string text;
    for (unsigned bit = 0; bit < 64; ++bit) {
        if ((bits >> bit & 1) == 0) continue;
        std::string name;
        for (std::size_t at = 0; at + 48 <= names.size(); at += 48) {
            if (names[at] == 0 && static_cast<unsigned char>(names[at + 1]) == bit) {
                name.assign(&names[at + 2], strnlen(&names[at + 2], 46));
            }
        }
        text += (text.empty() ? "" : ", ") + (name.empty() ? "" : "\"" + name + "\" ") + "(bit " + std::to_string(bit) + ")";
    }
    return text;
}

bool read_string(const byte_reader& read, std::uint64_t offset, std::uint32_t length, std::uint32_t longest,
                 const char* what, std::string& text, std::string& problem) {
    if (length == 0 || length > longest) {
        problem = std::string("its ") + what + " is " + std::to_string(length) + " bytes long";
        return false;
    }
    text.assign(length, '\0');
    if (!read(offset, length, &text[0], problem)) return false;
    if (text.find('\0') != std::string::npos) {
        problem = std::string("its ") + what + " holds a NUL byte";
        return false;
    }
    return true;
}

// The extensions between the header's end and the end of the first cluster.
bool read_extensions(const byte_reader& read, std::uint64_t from, std::uint64_t cluster_size, extensions& found,
                     std::string& problem) {
    std::uint64_t at = from;
    while (at + 8 <= cluster_size) {
        char head[8];
        if (!read(at, sizeof head, head, problem)) return false;
        const std::uint32_t type = load_be32(head);
        const std::uint32_t length = load_be32(head + 4);
        if (type == end_of_extensions) return true;
        const std::uint64_t data = at + 8;
        if (!fits_inside(data, length, cluster_size)) {
            problem = "a header extension runs past the end of the first cluster";
            return false;
        }
        if (type == backing_format_name) {
            if (!read_string(read, data, length, longest_extension_name, "backing file format", found.backing_format,
                             problem)) {
                return false;
            }
        } else if (type == data_file_name) {
            if (!read_string(read, data, length, longest_extension_name, "data file name", found.data_file, problem)) {
                return false;
            }
            found.has_data_file = true;
        } else if (type == feature_name_table) {
            found.feature_names.resize(length);
            if (length > 0 && !read(data, length, found.feature_names.data(), problem)) return false;
        }
        at = data + (std::uint64_t{length} + 7) / 8 * 8;
    }
    return true;
}

bool check_features(std::uint64_t incompatible, unsigned header_length, unsigned char compression_field,
                    const extensions& found, layout& result, std::string& problem) {
    if ((incompatible & ~known_incompatible) != 0) {
        problem = "it uses features this tool does not know: " +
                  unknown_features(incompatible & ~known_incompatible, found.feature_names);
        return false;
    }
    // A dirty image only has stale refcounts, which reading does not use. A corrupt one was found
    // damaged by the program that wrote it: its tables may point anywhere, even at data of another
    // cluster, so it is refused rather than read as if sound.
    if ((incompatible & corrupt) != 0) {
        problem = "it is marked corrupt by the program that wrote it (qemu-img check -r all repairs it)";
        return false;
    }
    result.extended_l2 = (incompatible & extended_l2) != 0;
    if (result.extended_l2 && result.cluster_bits < least_extended_cluster_bits) {
        problem = "its clusters of " + std::to_string(result.cluster_size) + " bytes are too small for subclusters";
        return false;
    }
    result.zero_flag = result.version >= 3 && !result.extended_l2;
    const unsigned char type = header_length > version3_header_length ? compression_field : 0;
    if (((incompatible & compression_type) != 0) != (type != 0)) {
        problem = "its compression type field and its compression type feature bit disagree";
        return false;
    }
    if (type > 1) {
        problem = "its clusters are compressed with method " + std::to_string(type) + ", unknown to this tool";
        return false;
    }
    result.compressed_with = type == 1 ? compression::zstd : compression::zlib;
    result.has_data_file = (incompatible & external_data) != 0;
    if (result.has_data_file && !found.has_data_file) {
        problem = "its clusters stand in an external data file that it does not name";
        return false;
    }
    result.data_file = found.data_file;
    result.backing_format = found.backing_format;
    return true;
}

}  // namespace

std::string encryption_problem(std::uint32_t method) {
    return method == 1   ? "it is encrypted (AES), and this tool reads no encrypted image"
           : method == 2 ? "it is encrypted (LUKS), and this tool reads no encrypted image"
                         : "it is encrypted by method " + std::to_string(method) + ", and this tool reads no encrypted image";
}

bool read_header(const byte_reader& read, std::uint64_t file_size, layout& result, std::string& problem) {
    char header[version3_header_length + 8] = {};
    // Version 1's header is the shortest: 48 bytes.
    if (!fits_inside(0, 48, file_size)) {
        problem = "the file ends inside its header";
        return false;
    }
    const std::size_t available = file_size < sizeof header ? static_cast<std::size_t>(file_size) : sizeof header;
    if (!read(0, available, header, problem)) return false;
    result.version = load_be32(header + 4);
    if (result.version == 1) return read_version1_header(header, read, file_size, result, problem);
    if (result.version != 2 && result.version != 3) {
        problem = "it is of version " + std::to_string(result.version) + ", which this tool does not read";
        return false;
    }
    if (available < version2_header_length) {
        problem = "the file ends inside its header";
        return false;
    }
    unsigned header_length = version2_header_length;
    std::uint64_t incompatible = 0;
    if (result.version >= 3) {
        if (available < version3_header_length) {
            problem = "the file ends inside its header";
            return false;
        }
        incompatible = load_be64(header + 72);
        header_length = load_be32(header + 100);
    }
    result.cluster_bits = load_be32(header + 20);
    if (result.cluster_bits < least_cluster_bits || result.cluster_bits > most_cluster_bits) {
        problem = "its clusters are of 2^" + std::to_string(result.cluster_bits) + " bytes";
        return false;
    }
    result.cluster_size = std::uint64_t{1} << result.cluster_bits;
    if (result.version >= 3 &&
        (header_length < version3_header_length || header_length % 8 != 0 || header_length > result.cluster_size)) {
        problem = "its header length of " + std::to_string(header_length) + " bytes is not a valid one";
        return false;
    }
    const std::uint32_t crypt_method = load_be32(header + 32);
    if (crypt_method != 0) {
        problem = encryption_problem(crypt_method);
        return false;
    }
    extensions found;
    if (!read_extensions(read, header_length, result.cluster_size, found, problem)) return false;
    if (!check_features(incompatible, header_length, static_cast<unsigned char>(header[104]), found, result, problem)) {
        return false;
    }

    result.size = load_be64(header + 24);
    if (result.size >= largest_size) {
        problem = "its virtual size of " + std::to_string(result.size) + " bytes is absurd";
        return false;
    }
    result.l1_entries = load_be32(header + 36);
    result.l1_offset = load_be64(header + 40);
    // Each L1 entry maps a whole L2 table's worth of clusters; together they must cover the disk.
    const std::uint64_t per_l1_entry = result.cluster_size * result.l2_entries();
    const std::uint64_t needed = result.size / per_l1_entry + (result.size % per_l1_entry != 0 ? 1 : 0);
    if (result.l1_entries < needed) {
        problem = "its L1 table of " + std::to_string(result.l1_entries) + " entries maps less than its virtual size";
        return false;
    }
    if (result.l1_entries > 0 && result.l1_offset % result.cluster_size != 0) {
        problem = "its L1 table at " + std::to_string(result.l1_offset) + " is not at the start of a cluster";
        return false;
    }
    if (result.l1_entries > 0 && !fits_inside(result.l1_offset, std::uint64_t{result.l1_entries} * 8, file_size)) {
        problem = "its L1 table at " + std::to_string(result.l1_offset) + " runs past the end of the file";
        return false;
    }

    const std::uint64_t backing_offset = load_be64(header + 8);
    result.has_backing_file = backing_offset != 0;
    if (result.has_backing_file &&
        !read_string(read, backing_offset, load_be32(header + 16), longest_backing_name, "backing file name",
                     result.backing_file, problem)) {
        return false;
    }
    return true;
}

}  // namespace qcow2
}  // namespace dirtool
