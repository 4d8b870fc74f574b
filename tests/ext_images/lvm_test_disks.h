// The disks the LVM image tests read, made with LVM's own tools on loop devices over the test's
// image files (metadata only, no device mapper), with sfdisk, mke2fs and cryptsetup:
//   sdb.img    a GPT disk: 1 a LUKS2 volume; 2 and 3 the physical volumes of group vgdisk, whose
//              volumes are root (two segments), home, swap (no file system), data (striped over
//              2 and 3), vm (an MBR with an ext4 partition) and secret (LUKS1)
//   pv.img     a bare physical volume of group vgbare, with a metadata area at each end and its
//              current description wrapped round the first one's end; its volume "spread" lies on
//              a second physical volume that no image of the devices folder holds
//   thin.img   a physical volume of group vgthin: a thin pool and a thin volume
//   luks1.img, bitlocker.img   encrypted volumes
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace whole_program {

constexpr std::uint64_t mib = 1024 * 1024;
constexpr std::int64_t jan_02_2026 = 1767323045;  // the disks' own time
constexpr char jan_02_2026_text[] = "Jan 02 03:04:05 2026";

// A file system to write into a logical volume: a tree of its own and the time mke2fs writes it at.
struct volume_plan {
    const char* name;
    std::int64_t written;
    const char* written_text;
    bool partitioned;  // an MBR in the volume, the file system in its partition 1
};

// The volumes with file systems, in the order of their groups' descriptions.
extern const std::vector<volume_plan> planned_volumes;

struct made_lvm_disks {
    std::string work;  // the folder that holds the images
    std::string log;   // what the tools said
    std::map<std::string, std::uint64_t> sizes;  // of each logical volume ("vgdisk/root"), as lvs reports it
    std::map<std::string, std::string> bare;     // the bare image of each volume's file system
    std::string missing_uuid;                    // of the physical volume pv.img's group lacks
    bool wrapped = false;                        // whether pv.img's description wraps round its area
    std::vector<std::uint64_t> areas;            // where pv.img's metadata areas start
};

// Makes the disks in `work`; false, with a failure of the running test, when a tool fails or this
// machine gives no loop device.
bool make_lvm_disks(const std::string& work, made_lvm_disks& made);

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes);
void set_mtime(const std::string& path, std::int64_t seconds);

}  // namespace whole_program
