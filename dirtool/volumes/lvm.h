// LVM2 physical volumes and the logical volumes of their volume group. A physical volume carries a
// label in one of its first four sectors, pointing at metadata areas, each a circular buffer of the
// volume group's description as text. Every logical volume that this tool reads is a disk again to
// the layers above. The label, the headers and the text are untrusted: each is checked against its
// checksum and the disk's size, the text is parsed within fixed bounds, and whatever does not add
// up is refused with a message.
#pragma once

#include "disk/disk.h"
#include "volumes/volumes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dirtool {
namespace lvm {

// The metadata text is kilobytes; a larger one than this is refused before it is read.
constexpr std::uint64_t largest_metadata_text = 4 * 1024 * 1024;

struct disk_area {
    std::uint64_t offset = 0;  // in bytes from the physical volume's start
    std::uint64_t size = 0;    // in bytes; 0 for a data area that runs to the volume's end
};

struct pv_label {
    std::string uuid;                  // the 32 characters, without the dashes the metadata writes
    std::uint64_t device_size = 0;     // in bytes, as the volume was when it was labelled
    std::vector<disk_area> data_areas;
    std::vector<disk_area> metadata_areas;
};

enum class label_found { none, found, damaged };

// The label and physical volume header of a disk of `disk_size` bytes. `none` when no sector holds
// a label; `damaged`, with a message in `problem`, when one does but it does not check out.
label_found read_pv_label(const disk_reader& read, std::uint64_t disk_size, pv_label& label, std::string& problem);

// The current metadata text of each of the volume's metadata areas whose header and text match
// their checksums; a message in `problems` for each that does not.
std::vector<std::string> read_metadata_texts(const disk_reader& read, std::uint64_t disk_size, const pv_label& label,
                                             std::vector<std::string>& problems);

// LVM's CRC-32: the reflected IEEE polynomial, started at 0xf597a6cf, without the final inversion.
std::uint32_t lvm_crc(const void* bytes, std::size_t count);

// The metadata text as a tree: sections `name { ... }` of values `key = value`, where a value is a
// number, a string or a list of numbers and strings.
struct metadata_value {
    enum class kind { number, text, list } type = kind::number;
    std::int64_t number = 0;
    std::string text;
    std::vector<metadata_value> items;
};

struct metadata_section {
    std::vector<std::pair<std::string, metadata_value>> values;
    std::vector<std::pair<std::string, metadata_section>> sections;

    const metadata_value* value(const std::string& key) const;
    const metadata_section* section(const std::string& name) const;
};

// Parses `text`; false with a message in `problem` for text that is not well formed, that nests
// deeper or holds more than a volume group's description ever does, that names a key twice in one
// section, or that holds a number too large for 64 bits.
bool parse_metadata(const std::string& text, metadata_section& root, std::string& problem);

struct stripe {
    std::size_t pv = 0;              // into volume_group::pvs
    std::uint64_t first_extent = 0;  // on that physical volume
};

struct segment {
    std::uint64_t start_extent = 0;  // in the logical volume
    std::uint64_t extent_count = 0;
    std::uint64_t stripe_size = 0;   // in bytes; 0 for a single stripe
    std::vector<stripe> stripes;
};

struct logical_volume {
    std::string name;
    std::uint64_t size = 0;        // in bytes
    std::vector<segment> segments;  // by start_extent, contiguous from 0
    // Why the volume is not read, in words a user reads after its name: its kind (thin,
    // snapshot, RAID, ...) or the damage in its description. Empty for a volume that can be.
    std::string not_read;
};

struct physical_volume {
    std::string key;                // "pv0": how the segments name it
    std::string uuid;               // without dashes
    std::uint64_t data_start = 0;   // in bytes: where extent 0 begins
    std::uint64_t extent_count = 0;
};

struct volume_group {
    std::string name;
    std::uint64_t seqno = 0;
    std::uint64_t extent_size = 0;  // in bytes
    std::vector<physical_volume> pvs;
    std::vector<logical_volume> lvs;  // the visible ones, in the order of the description
    std::vector<std::string> problems;  // damage that left a logical volume unread
};

// The volume group a parsed description holds; false with a message for one that cannot be
// trusted at all (no group, a physical volume named twice, an absurd extent size). A logical
// volume whose own description is damaged is kept, with why in its `not_read`.
bool build_volume_group(const metadata_section& root, volume_group& group, std::string& problem);

// The volume group of the physical volume `label` heads: the latest description by seqno among its
// metadata areas whose checksums hold, which must name this volume (`this_pv` is its index there).
// False with one message.
bool read_volume_group(const disk_reader& read, std::uint64_t disk_size, const pv_label& label,
                       volume_group& group, std::size_t& this_pv, std::string& problem);

// The logical volume as a disk, over the disks of the group's physical volumes (by index into
// group.pvs; each must be there). Extents beyond the end of a physical volume's disk read as a
// failure, never as zeros.
std::unique_ptr<image_source> open_logical_volume(const volume_group& group, const logical_volume& volume,
                                                  const std::vector<std::shared_ptr<image_reader>>& pv_disks);

}  // namespace lvm

// What an encrypted volume says of itself at its start: "LUKS1", "LUKS2" or "BitLocker"; empty for
// a disk that is none.
std::string encryption_of(image_reader& disk);

// The bytes of an image_reader as a disk_reader, for the readers above that take one.
disk_reader reader_of(image_reader& disk);

}  // namespace dirtool
