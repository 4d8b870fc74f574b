// A physical volume served as a folder per logical volume of its group. The group's other physical
// volumes are looked for among the other partitions of the same disk; a logical volume that needs
// one that is not there, or that is of a kind this tool does not read, is listed and says why when
// it is entered.
#include "devices/volume_device.h"

#include "volumes/lvm.h"

#include <utility>

namespace dirtool {
namespace {

// A UUID as LVM shows it: 6-4-4-4-4-4-6 characters.
std::string dashed(const std::string& uuid) {
    std::string text;
    const std::size_t groups[] = {6, 4, 4, 4, 4, 4, 6};
    std::size_t at = 0;
    for (const std::size_t length : groups) {
        if (at > 0) text += '-';
        text += uuid.substr(at, length);
        at += length;
    }
    return text;
}

bool label_of(image_reader& disk, lvm::pv_label& label) {
    std::string ignored;
    return lvm::read_pv_label(reader_of(disk), disk.source().size(), label, ignored) == lvm::label_found::found;
}

// A physical volume that keeps no copy of its group's description has it on another of the group's
// volumes: the first sibling whose description names this one.
bool group_from_siblings(const lvm::pv_label& label, const std::shared_ptr<image_reader>& disk,
                         const sibling_disks& siblings, lvm::volume_group& group, std::size_t& this_pv) {
    for (const std::shared_ptr<image_reader>& sibling : siblings) {
        lvm::pv_label other;
        if (sibling == disk || !label_of(*sibling, other) || other.metadata_areas.empty()) continue;
        std::size_t that_pv = 0;
        std::string ignored;
        if (!lvm::read_volume_group(reader_of(*sibling), sibling->source().size(), other, group, that_pv, ignored)) continue;
        for (std::size_t i = 0; i < group.pvs.size(); ++i) {
            if (group.pvs[i].uuid == label.uuid) {
                this_pv = i;
                return true;
            }
        }
    }
    return false;
}

// Where each physical volume of the group stands: this one's disk, and each other one's among the
// siblings, by the UUID its label holds.
std::vector<std::shared_ptr<image_reader>> disks_of(const lvm::volume_group& group, std::size_t this_pv,
                                                    const std::shared_ptr<image_reader>& disk,
                                                    const sibling_disks& siblings) {
    std::vector<std::shared_ptr<image_reader>> disks(group.pvs.size());
    disks[this_pv] = disk;
    if (group.pvs.size() == 1) return disks;
    for (const std::shared_ptr<image_reader>& sibling : siblings) {
        lvm::pv_label label;
        if (sibling == disk || !label_of(*sibling, label)) continue;
        for (std::size_t i = 0; i < group.pvs.size(); ++i) {
            if (!disks[i] && group.pvs[i].uuid == label.uuid) disks[i] = sibling;
        }
    }
    return disks;
}

// Why the volume cannot be read from these disks: a physical volume it needs is missing, or its
// extents lie past the end of one that is there. Empty when it can be.
std::string missing_from(const lvm::volume_group& group, const lvm::logical_volume& volume,
                         const std::vector<std::shared_ptr<image_reader>>& disks) {
    for (const lvm::segment& seg : volume.segments) {
        const std::uint64_t per_stripe = seg.extent_count / seg.stripes.size();
        for (const lvm::stripe& area : seg.stripes) {
            const lvm::physical_volume& pv = group.pvs[area.pv];
            if (!disks[area.pv]) {
                return "it needs physical volume " + pv.key + " (UUID " + dashed(pv.uuid) +
                       "), which is on no other partition of this disk: not read";
            }
            const std::uint64_t end = pv.data_start + (area.first_extent + per_stripe) * group.extent_size;
            if (end > disks[area.pv]->source().size()) {
                return "its extents lie past the end of the disk that holds physical volume " + pv.key + ": not read";
            }
        }
    }
    return "";
}

}  // namespace

std::unique_ptr<device> open_physical_volume(const std::shared_ptr<image_reader>& disk, const std::string& name,
                                             const sibling_disks& siblings, unsigned depth, std::string& error) {
    const disk_reader read = reader_of(*disk);
    const std::uint64_t size = disk->source().size();
    lvm::pv_label label;
    std::string problem;
    switch (lvm::read_pv_label(read, size, label, problem)) {
        case lvm::label_found::none:
            return nullptr;
        case lvm::label_found::damaged:
            error = name + ": LVM physical volume: " + problem;
            return nullptr;
        case lvm::label_found::found:
            break;
    }
    lvm::volume_group group;
    std::size_t this_pv = 0;
    if (!lvm::read_volume_group(read, size, label, group, this_pv, problem) &&
        !(label.metadata_areas.empty() && group_from_siblings(label, disk, siblings, group, this_pv))) {
        error = name + ": LVM physical volume: " + problem;
        return nullptr;
    }
    const std::vector<std::shared_ptr<image_reader>> disks = disks_of(group, this_pv, disk, siblings);
    std::vector<volume_folder> folders;
    for (const lvm::logical_volume& volume : group.lvs) {
        volume_folder folder;
        folder.folder = volume.name;
        folder.name = "logical volume " + group.name + "/" + volume.name;
        folder.size = volume.size;
        folder.not_read = volume.not_read.empty() ? missing_from(group, volume, disks) : volume.not_read;
        if (folder.not_read.empty()) {
            folder.disk = std::make_shared<image_reader>(lvm::open_logical_volume(group, volume, disks));
            folder.may_hold_table = true;
        }
        folders.push_back(std::move(folder));
    }
    return open_volume_folders(disk, name + ": volume group " + group.name, std::move(folders),
                               std::move(group.problems), {}, depth);
}

}  // namespace dirtool
