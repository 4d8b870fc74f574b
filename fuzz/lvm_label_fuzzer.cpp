// Arbitrary bytes as a physical volume: the label, header and metadata area reader must read only
// inside the disk, never more text than its bound, and give back only texts whose checksum holds.
// Random bytes seldom match a CRC, so when the first byte is odd the checksums of the label, of each
// metadata area header and of its current text are set right first, and what lies past them is
// fuzzed too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "volumes/lvm.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void store_le32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Sets the checksums right: the label's in whichever of the first four sectors holds one, then each
// metadata area's header and text, where the label places them inside the disk.
void fix_checksums(std::vector<std::uint8_t>& disk) {
    using dirtool::lvm::lvm_crc;
    for (std::size_t at = 0; at + 512 <= disk.size() && at < 4 * 512; at += 512) {
        if (std::memcmp(disk.data() + at, "LABELONE", 8) == 0) store_le32(&disk[at + 16], lvm_crc(&disk[at + 20], 492));
    }
    const dirtool::disk_reader read = [&disk](std::uint64_t offset, std::size_t count, char* bytes) {
        std::memcpy(bytes, disk.data() + offset, count);
        return true;
    };
    dirtool::lvm::pv_label label;
    std::string ignored;
    if (dirtool::lvm::read_pv_label(read, disk.size(), label, ignored) != dirtool::lvm::label_found::found) return;
    for (const dirtool::lvm::disk_area& area : label.metadata_areas) {
        if (area.size <= 512 || area.offset > disk.size() || area.size > disk.size() - area.offset) continue;
        std::uint8_t* header = &disk[area.offset];
        const std::uint64_t offset = dirtool::load_le64(header + 40);
        const std::uint64_t length = dirtool::load_le64(header + 48);
        if (offset >= 512 && offset < area.size && length <= area.size - 512) {
            std::vector<std::uint8_t> text;
            for (std::uint64_t i = 0; i < length; ++i) {
                const std::uint64_t in_area = offset + i < area.size ? offset + i : offset + i - area.size + 512;
                text.push_back(disk[area.offset + in_area]);
            }
            store_le32(header + 56, lvm_crc(text.data(), text.size()));
        }
        store_le32(header, lvm_crc(header + 4, 508));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::vector<std::uint8_t> disk(bytes, bytes + size);
    if (size > 0 && (bytes[0] & 1) != 0) fix_checksums(disk);
    const std::uint8_t* data = disk.data();
    const dirtool::disk_reader read = [data, size](std::uint64_t offset, std::size_t count, char* bytes) {
        check(offset <= size && count <= size - offset);
        std::memcpy(bytes, data + offset, count);
        return true;
    };
    dirtool::lvm::pv_label label;
    std::string problem;
    const dirtool::lvm::label_found found = dirtool::lvm::read_pv_label(read, size, label, problem);
    check((found == dirtool::lvm::label_found::damaged) == !problem.empty());
    if (found != dirtool::lvm::label_found::found) return 0;
    check(label.uuid.size() == 32);
    std::vector<std::string> problems;
    for (const std::string& text : dirtool::lvm::read_metadata_texts(read, size, label, problems)) {
        check(!text.empty() && text.size() <= dirtool::lvm::largest_metadata_text && text.size() <= size);
    }
    dirtool::lvm::volume_group group;
    std::size_t this_pv = 0;
    if (dirtool::lvm::read_volume_group(read, size, label, group, this_pv, problem)) {
        check(this_pv < group.pvs.size() && group.pvs[this_pv].uuid == label.uuid);
    } else {
        check(!problem.empty());
    }
    return 0;
}
