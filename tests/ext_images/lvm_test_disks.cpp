// Makes the disks of lvm_test_disks.h. The test writes each volume's file system, made by mke2fs
// as an image of its own, into the extents where lvs says the volume lies.
#include "lvm_test_disks.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "ext_image_support.h"
#include "sfdisk_report.h"

namespace whole_program {

namespace fs = std::filesystem;

// The volumes with file systems: root is extended after home was made, so its second segment lies
// past home's, and a file of 11 MiB in it has blocks there; data is striped over partitions 2 and 3;
// vm holds a partition table.
const std::vector<volume_plan> planned_volumes = {
    {"root", 1704164645, "Jan 02 03:04:05 2024", false},
    {"home", 1600000000, "Sep 13 12:26:40 2020", false},
    {"data", 1500000000, "Jul 14 02:40:00 2017", false},
    {"vm", 1400000000, "May 13 16:53:20 2014", true},
    {"bare", 1300000000, "Mar 13 07:06:40 2011", false},
};

namespace {

const std::string sfdisk_program = SFDISK_PROGRAM;
const std::string lvm_program = LVM_PROGRAM;
const std::string losetup_program = LOSETUP_PROGRAM;
const std::string cryptsetup_program = CRYPTSETUP_PROGRAM;

bool run(const std::string& command, const std::string& log) {
    return std::system((command + " >>'" + log + "' 2>&1").c_str()) == 0;
}

// The loop devices the LVM tools write through, each a window of an image: detached when the
// preparation ends, however it ends.
class loop_devices {
public:
    explicit loop_devices(std::string log) : log_(std::move(log)) {}
    ~loop_devices() {
        for (const auto& [device, place] : places_) run(losetup_program + " -d " + device, log_);
    }

    // The loop device over `length` bytes of `image` from `offset`; empty, with a failure, when this
    // machine gives none.
    std::string attach(const std::string& image, std::uint64_t offset, std::uint64_t length) {
        const std::string device = shell_output(losetup_program + " -f --show -o " + std::to_string(offset) +
                                                " --sizelimit " + std::to_string(length) + " '" + image + "' 2>>'" +
                                                log_ + "'");
        if (device.rfind("/dev/loop", 0) != 0) {
            ADD_FAILURE() << "this machine gives no loop device (losetup -f --show on an image file failed), and the "
                             "LVM cases need one to let LVM's tools write their metadata: see "
                          << log_;
            return "";
        }
        const std::string name = device.substr(0, device.find('\n'));
        places_[name] = {image, offset};
        return name;
    }

    const std::map<std::string, std::pair<std::string, std::uint64_t>>& places() const { return places_; }

private:
    std::string log_;
    std::map<std::string, std::pair<std::string, std::uint64_t>> places_;  // image and offset
};

class disk_maker {
public:
    explicit disk_maker(made_lvm_disks& made) : made_(made) {}
    bool make_disks(loop_devices& loops);

private:
    std::string lvm(const std::string& command, const std::string& arguments);
    bool write_volume(const loop_devices& loops, const std::string& group, const std::string& volume,
                      const std::string& image);
    bool make_file_system(const volume_plan& plan, std::uint64_t size, std::uint32_t seed);

    made_lvm_disks& made_;
};


const char lvm_partition_type[] = "E6D6D379-F507-44C2-A23C-238F2A3DF928";

std::string disk_maker::lvm(const std::string& command, const std::string& arguments) {
    const std::string environment = "LVM_SYSTEM_DIR='" + made_.work + "/lvm' LVM_SUPPRESS_FD_WARNINGS=1 ";
    const std::string output = made_.work + "/lvm-output";
    const std::string line = environment + lvm_program + " " + command + " --driverloaded n --nolocking " + arguments;
    if (std::system((line + " >'" + output + "' 2>>'" + made_.log + "'").c_str()) != 0) {
        ADD_FAILURE() << line << " failed: see " << made_.log;
        return "";
    }
    return contents_of(output);
}

// A tree of its own for each volume, so that serving the wrong one shows; root's holds a file of
// 11 MiB, more than its first segment.
void make_tree(const std::string& root, const std::string& label, std::uint32_t seed, bool big) {
    tree_maker tree(root, seed);
    for (const std::string& folder : std::vector<std::string>{"etc", "usr/share/doc", "home/" + label + "/My Documents"}) {
        tree.folder(folder);
    }
    tree.file(label, 7);
    for (int i = 0; i < 60; ++i) tree.file("etc/" + label + "-" + std::to_string(i) + ".conf", tree.random_size(5000));
    for (int i = 0; i < 12; ++i) tree.file("usr/share/doc/part " + std::to_string(i), tree.random_size(70000));
    tree.file("home/" + label + "/My Documents/caf\xc3\xa9.txt", 33);
    tree.sparse("usr/sparse", 300 * mib + 5);
    if (big) tree.file("usr/big", 11 * mib + 3);
    fs::create_symlink("../etc", root + "/usr/etc");
    tree.set_times();
}

bool disk_maker::make_file_system(const volume_plan& plan, std::uint64_t size, std::uint32_t seed) {
    const std::string tree = made_.work + "/tree-" + plan.name;
    make_tree(tree, plan.name, seed, std::string(plan.name) == "root");
    const std::string image = made_.work + "/" + plan.name + ".volume";
    std::ofstream(image).close();
    fs::resize_file(image, size);
    std::uint64_t offset = 0;
    if (plan.partitioned) {
        write_file(made_.work + "/script", "label: dos\nstart=2048, type=83\n");
        if (!run(sfdisk_program + " -q '" + image + "' < '" + made_.work + "/script'", made_.log)) return false;
        offset = 2048 * 512;
    }
    const std::string command = "E2FSPROGS_FAKE_TIME=" + std::to_string(plan.written) + " " + mke2fs_program +
                                " -q -F -t ext4 -E offset=" + std::to_string(offset) + " -d '" + tree + "' '" + image +
                                "' " + std::to_string((size - offset) / 1024) + "k";
    if (!run(command, made_.log)) {
        ADD_FAILURE() << command;
        return false;
    }
    made_.bare[plan.name] = made_.work + "/" + plan.name + ".img";
    write_file(made_.bare[plan.name], contents_of(image).substr(offset));
    return true;
}

// Writes `image` into the extents of the volume where lvs says they lie, stripe by stripe.
bool disk_maker::write_volume(const loop_devices& loops, const std::string& group, const std::string& volume,
                                  const std::string& image) {
    const std::string bytes = contents_of(image);
    const std::uint64_t extent = std::stoull(lvm("vgs", "--noheadings --units b --nosuffix -o vg_extent_size " + group));
    std::map<std::string, std::uint64_t> pe_start;
    std::istringstream pvs(lvm("pvs", "--noheadings --units b --nosuffix -o pv_name,pe_start"));
    for (std::string name, start; pvs >> name >> start;) pe_start[name] = std::stoull(start);
    std::istringstream segments(lvm("lvs", "--noheadings --units b --nosuffix --separator '|' -o "
                                           "seg_start_pe,stripe_size,seg_pe_ranges " + group + "/" + volume));
    bool any = false;
    for (std::string line; std::getline(segments, line);) {
        std::replace(line.begin(), line.end(), '|', ' ');
        std::istringstream fields(line);
        std::uint64_t start = 0, stripe_size = 0;
        fields >> start >> stripe_size;
        std::vector<std::pair<std::string, std::uint64_t>> stripes;  // image, offset of the stripe's first extent
        std::uint64_t per_stripe = 0;
        for (std::string range; fields >> range;) {
            const std::string device = range.substr(0, range.find(':'));
            const std::uint64_t first = std::stoull(range.substr(range.find(':') + 1));
            per_stripe = std::stoull(range.substr(range.find('-') + 1)) - first + 1;
            const auto& [file, offset] = loops.places().at(device);
            stripes.emplace_back(file, offset + pe_start.at(device) + first * extent);
        }
        if (stripes.empty()) return false;
        const std::uint64_t from = start * extent;
        const std::uint64_t length = per_stripe * extent * stripes.size();
        const std::uint64_t chunk = stripes.size() == 1 ? length : stripe_size;
        for (std::uint64_t done = 0; done < length; done += chunk) {
            const std::uint64_t row = done / chunk / stripes.size();
            const auto& [file, offset] = stripes[done / chunk % stripes.size()];
            write_at(file, offset + row * chunk, bytes.substr(static_cast<std::size_t>(from + done), chunk));
        }
        any = true;
    }
    return any && !::testing::Test::HasFailure();
}

bool disk_maker::make_disks(loop_devices& loops) {
    // sdb: a LUKS2 partition, then two physical volumes of one group.
    const std::string sdb = made_.work + "/sdb.img";
    std::ofstream(sdb).close();
    fs::resize_file(sdb, 80 * mib);
    write_file(made_.work + "/script", "label: gpt\nstart=2048, size=16MiB, type=L\nsize=40MiB, type=" +
                                      std::string(lvm_partition_type) + "\nsize=20MiB, type=" + lvm_partition_type + "\n");
    if (!run(sfdisk_program + " -q '" + sdb + "' < '" + made_.work + "/script'", made_.log)) return false;
    const auto parts = sfdisk_report::partitions_of(sfdisk_program, sdb);
    if (parts.size() != 3) return false;
    // pv: a physical volume of its own, with small metadata areas at both ends, whose group has a
    // second physical volume in "other", an image the devices folder never holds.
    const std::string pv = made_.work + "/pv.img";
    const std::string other = made_.work + "/other.img";
    const std::string thin = made_.work + "/thin.img";
    for (const std::string& image : {pv, other, thin}) {
        std::ofstream(image).close();
        fs::resize_file(image, 24 * mib);
    }
    const std::string p2 = loops.attach(sdb, parts[1].start_sector * 512, parts[1].sectors * 512);
    const std::string p3 = loops.attach(sdb, parts[2].start_sector * 512, parts[2].sectors * 512);
    const std::string bare = loops.attach(pv, 0, 24 * mib);
    const std::string elsewhere = loops.attach(other, 0, 24 * mib);
    const std::string thin_loop = loops.attach(thin, 0, 24 * mib);
    if (::testing::Test::HasFailure()) return false;
    std::string accept;
    for (const auto& [device, place] : loops.places()) accept += "\"a|^" + device + "$|\", ";
    fs::create_directories(made_.work + "/lvm");
    write_file(made_.work + "/lvm/lvm.conf", "devices { filter = [" + accept + "\"r|.*|\"] obtain_device_list_from_udev = 0 "
                                        "use_devicesfile = 0 }\nactivation { udev_sync = 0 udev_rules = 0 monitoring = 0 }\n"
                                        "backup { backup = 0 archive = 0 }\n");
    const std::string new_volume = "-q -an -Zn -L ";
    lvm("pvcreate", "-q " + p2 + " " + p3);
    lvm("vgcreate", "-q -s 1m vgdisk " + p2 + " " + p3);
    lvm("lvcreate", new_volume + "8m -n root vgdisk " + p2);
    lvm("lvcreate", new_volume + "8m -n home vgdisk " + p2);
    lvm("lvextend", "-q -L +8m vgdisk/root " + p2);
    lvm("lvcreate", new_volume + "2m -n swap vgdisk " + p2);
    lvm("lvcreate", "-q -an -Zn -i2 -I64k -L 8m -n data vgdisk " + p2 + " " + p3);
    lvm("lvcreate", new_volume + "8m -n vm vgdisk " + p3);
    lvm("lvcreate", new_volume + "4m -n secret vgdisk " + p2);
    lvm("pvcreate", "-q --metadatasize 32k --dataalignment 64k --pvmetadatacopies 2 " + bare);
    lvm("pvcreate", "-q " + elsewhere);
    lvm("vgcreate", "-q -s 64k vgbare " + bare + " " + elsewhere);
    lvm("lvcreate", new_volume + "8m -n bare vgbare " + bare);
    lvm("lvcreate", new_volume + "1m -n spread vgbare " + elsewhere);
    // thin: a thin pool and a thin volume, which LVM makes only with the device mapper, so its
    // description is restored from a backup of a group whose two volumes become the pool's parts.
    lvm("pvcreate", "-q " + thin_loop);
    lvm("vgcreate", "-q -s 1m vgthin " + thin_loop);
    lvm("lvcreate", new_volume + "2m -n meta vgthin");
    lvm("lvcreate", new_volume + "4m -n store vgthin");
    lvm("vgcfgbackup", "-q -f '" + made_.work + "/vgthin.txt' vgthin");
    std::string backup = contents_of(made_.work + "/vgthin.txt");
    const std::string hidden = "status = [\"READ\", \"WRITE\"]";
    backup = std::regex_replace(backup, std::regex("status = \\[\"READ\", \"WRITE\", \"VISIBLE\"\\]"), hidden);
    backup = std::regex_replace(backup, std::regex("\\bmeta \\{"), "pool_tmeta {");
    backup = std::regex_replace(backup, std::regex("\\bstore \\{"), "pool_tdata {");
    const std::string pool_and_thin =
        "pool {\nid = \"aaaaaa-aaaa-aaaa-aaaa-aaaa-aaaa-aaaaaa\"\nstatus = [\"READ\", \"WRITE\", \"VISIBLE\"]\n"
        "flags = []\nsegment_count = 1\nsegment1 {\nstart_extent = 0\nextent_count = 4\ntype = \"thin-pool\"\n"
        "metadata = \"pool_tmeta\"\npool = \"pool_tdata\"\ntransaction_id = 1\nchunk_size = 128\n"
        "discards = \"passdown\"\nzero_new_blocks = 1\n}\n}\n"
        "thin {\nid = \"bbbbbb-aaaa-aaaa-aaaa-aaaa-aaaa-aaaaaa\"\nstatus = [\"READ\", \"WRITE\", \"VISIBLE\"]\n"
        "flags = []\nsegment_count = 1\nsegment1 {\nstart_extent = 0\nextent_count = 8\ntype = \"thin\"\n"
        "thin_pool = \"pool\"\ntransaction_id = 0\ndevice_id = 1\n}\n}\n";
    backup.insert(backup.find("pool_tmeta {"), pool_and_thin);
    write_file(made_.work + "/vgthin.txt", backup);
    lvm("vgcfgrestore", "-q --force -f '" + made_.work + "/vgthin.txt' vgthin");
    // Small volumes until the current description wraps round the end of the first metadata area.
    for (int i = 1; i <= 40; ++i) {
        lvm("lvcreate", new_volume + "64k -n l" + std::to_string(i) + " vgbare " + bare);
        // The area's size, and the offset and size of the text in it, as its header holds them.
        std::uint64_t fields[3] = {};
        std::memcpy(fields, contents_of(pv).substr(4096 + 32, sizeof fields).data(), sizeof fields);
        made_.wrapped = fields[1] + fields[2] > fields[0];
        if (made_.wrapped || ::testing::Test::HasFailure()) break;
    }
    // Where the second metadata area is, as pvck reads the header of the volume.
    std::istringstream headers(lvm("pvck", "--dump headers " + bare));
    bool metadata_area = false;
    for (std::string line; std::getline(headers, line);) {
        if (metadata_area && line.find(".offset ") != std::string::npos) {
            made_.areas.push_back(std::stoull(line.substr(line.find(".offset ") + 8)));
        }
        metadata_area = line.find("# location of metadata area") != std::string::npos;
    }
    std::istringstream uuid(lvm("pvs", "--noheadings -o pv_uuid " + elsewhere));
    uuid >> made_.missing_uuid;
    std::istringstream volumes(lvm("lvs", "--noheadings --units b --nosuffix -o vg_name,lv_name,lv_size"));
    for (std::string vg, lv, size; volumes >> vg >> lv >> size;) made_.sizes[vg + "/" + lv] = std::stoull(size);
    std::uint32_t seed = 7;
    for (const volume_plan& plan : planned_volumes) {
        const std::string group = std::string(plan.name) == "bare" ? "vgbare" : "vgdisk";
        if (!make_file_system(plan, made_.sizes[group + "/" + plan.name], seed++) ||
            !write_volume(loops, group, plan.name, made_.work + "/" + plan.name + ".volume")) {
            return false;
        }
    }
    // What holds no file system: swap, and volumes that cryptsetup formats.
    std::string text;
    while (text.size() < 2 * mib) text += "not an ext file system ";
    write_file(made_.work + "/swap.volume", text.substr(0, 2 * mib));
    const std::string luks = cryptsetup_program + " luksFormat -q --pbkdf pbkdf2 --pbkdf-force-iterations 1000 ";
    for (const auto& [image, type] : {std::make_pair("secret.volume", "luks1"), std::make_pair("luks2.volume", "luks2"),
                                      std::make_pair("luks1.img", "luks1")}) {
        std::ofstream(made_.work + "/" + image).close();
        fs::resize_file(made_.work + "/" + image, 4 * mib);
        if (!run("echo secret | " + luks + "--type " + type + " '" + made_.work + "/" + image + "'", made_.log)) return false;
    }
    write_at(sdb, parts[0].start_sector * 512, contents_of(made_.work + "/luks2.volume"));
    // A BitLocker volume's boot sector starts with a jump and its signature.
    write_file(made_.work + "/bitlocker.img", "\xeb\x58\x90-FVE-FS-" + std::string(mib, '\0'));
    return write_volume(loops, "vgdisk", "swap", made_.work + "/swap.volume") &&
           write_volume(loops, "vgdisk", "secret", made_.work + "/secret.volume");
}

}  // namespace

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

void set_mtime(const std::string& path, std::int64_t seconds) {
    const struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

bool make_lvm_disks(const std::string& work, made_lvm_disks& made) {
    made.work = work;
    made.log = work + "/tools.log";
    disk_maker maker(made);
    loop_devices loops(made.log);
    if (!maker.make_disks(loops)) {
        ADD_FAILURE() << "the disks could not be made: see " << made.log;
        return false;
    }
    return !::testing::Test::HasFailure();
}

}  // namespace whole_program
