// kovox and the stand-in tool, both as built, over LVM physical volumes whose metadata LVM's own
// tools write (metadata only, on loop devices over the test's images, with no device mapper), and
// over encrypted volumes that cryptsetup formats. Each logical volume's file system is made as an
// image of its own by mke2fs and written into the extents that lvs reports: every volume must list
// as that image does and copy out its files byte for byte, the image itself held to debugfs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"
#include "sfdisk_report.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

const std::string sfdisk_program = SFDISK_PROGRAM;
const std::string lvm_program = LVM_PROGRAM;
const std::string losetup_program = LOSETUP_PROGRAM;
const std::string cryptsetup_program = CRYPTSETUP_PROGRAM;
constexpr std::uint64_t mib = 1024 * 1024;
constexpr std::int64_t jan_02_2026 = 1767323045;  // the disks' own time
const char jan_02_2026_text[] = "Jan 02 03:04:05 2026";

bool run(const std::string& command, const std::string& log) {
    return std::system((command + " >>'" + log + "' 2>&1").c_str()) == 0;
}

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

std::string right_justified(const std::string& text, std::size_t width) {
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

std::string folder_line(std::uint64_t size, const std::string& date, const std::string& path) {
    return "d--------- " + right_justified(std::to_string(size), 13) + " " + date + " " + path;
}

// A file system to write into a logical volume: a tree of its own and the time mke2fs writes it at.
struct volume_plan {
    const char* name;
    std::int64_t written;
    const char* written_text;
    bool partitioned;  // an MBR in the volume, the file system in its partition 1
};

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

class LogicalVolumes : public ::testing::Test {
protected:
    static bool prepare();
    static bool make_disks(loop_devices& loops);
    static std::string lvm(const std::string& command, const std::string& arguments);
    static bool write_volume(const loop_devices& loops, const std::string& group, const std::string& volume,
                             const std::string& image);
    static bool make_file_system(const volume_plan& plan, std::uint64_t size, std::uint32_t seed);

    static void TearDownTestSuite() { fs::remove_all(work_); }

    void SetUp() override {
        static const bool prepared = prepare();
        ASSERT_TRUE(prepared);
        old_path_ = set_up_runs(work_, devices_, temp_);
    }
    void TearDown() override { set_environment("PATH", old_path_); }

    std::string place(const std::string& image) const {
        const std::string placed = devices_ + "/" + fs::path(image).filename().string();
        fs::copy_file(work_ + "/" + image, placed, fs::copy_options::overwrite_existing);
        set_mtime(placed, jan_02_2026);
        return placed;
    }

    static std::string kovox_listing(const std::string& archive) {
        const run_result result = run_in(binary_directory(), "kovox", {archive});
        EXPECT_EQ(result.status, 0) << archive;
        std::string text = result.output;
        for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
        return text;
    }

    // kovox's lines below `prefix`, with the prefix taken off; with `direct`, only those directly in it.
    static std::vector<std::string> lines_below(const std::string& listing, const std::string& prefix, bool direct) {
        std::vector<std::string> lines;
        for (const std::string& line : lines_of(listing)) {
            if (line.size() <= 46 || line.compare(46, prefix.size(), prefix) != 0) continue;
            const std::string path = line.substr(46 + prefix.size());
            if (!direct || path.find('/') == std::string::npos) lines.push_back(line.substr(0, 46) + path);
        }
        return lines;
    }

    static std::string work_;
    static std::string log_;
    static std::map<std::string, std::uint64_t> sizes_;  // of each logical volume, as lvs reports it
    static std::map<std::string, std::string> bare_;     // the bare image of each volume's file system
    static std::string missing_uuid_;
    static bool wrapped_;
    static std::vector<std::uint64_t> areas_;  // where pv.img's metadata areas start
    std::string devices_, temp_, old_path_;
};

std::string LogicalVolumes::work_;
std::string LogicalVolumes::log_;
std::map<std::string, std::uint64_t> LogicalVolumes::sizes_;
std::map<std::string, std::string> LogicalVolumes::bare_;
std::string LogicalVolumes::missing_uuid_;
bool LogicalVolumes::wrapped_ = false;
std::vector<std::uint64_t> LogicalVolumes::areas_;

// The volumes with file systems: root is extended after home was made, so its second segment lies
// past home's, and a file of 9 MiB in it has blocks there; data is striped over partitions 2 and 3;
// vm holds a partition table.
const volume_plan planned[] = {
    {"root", 1704164645, "Jan 02 03:04:05 2024", false},
    {"home", 1600000000, "Sep 13 12:26:40 2020", false},
    {"data", 1500000000, "Jul 14 02:40:00 2017", false},
    {"vm", 1400000000, "May 13 16:53:20 2014", true},
    {"bare", 1300000000, "Mar 13 07:06:40 2011", false},
};


const char lvm_partition_type[] = "E6D6D379-F507-44C2-A23C-238F2A3DF928";

std::string LogicalVolumes::lvm(const std::string& command, const std::string& arguments) {
    const std::string environment = "LVM_SYSTEM_DIR='" + work_ + "/lvm' LVM_SUPPRESS_FD_WARNINGS=1 ";
    const std::string output = work_ + "/lvm-output";
    const std::string line = environment + lvm_program + " " + command + " --driverloaded n --nolocking " + arguments;
    if (std::system((line + " >'" + output + "' 2>>'" + log_ + "'").c_str()) != 0) {
        ADD_FAILURE() << line << " failed: see " << log_;
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

bool LogicalVolumes::make_file_system(const volume_plan& plan, std::uint64_t size, std::uint32_t seed) {
    const std::string tree = work_ + "/tree-" + plan.name;
    make_tree(tree, plan.name, seed, std::string(plan.name) == "root");
    const std::string image = work_ + "/" + plan.name + ".volume";
    std::ofstream(image).close();
    fs::resize_file(image, size);
    std::uint64_t offset = 0;
    if (plan.partitioned) {
        write_file(work_ + "/script", "label: dos\nstart=2048, type=83\n");
        if (!run(sfdisk_program + " -q '" + image + "' < '" + work_ + "/script'", log_)) return false;
        offset = 2048 * 512;
    }
    const std::string command = "E2FSPROGS_FAKE_TIME=" + std::to_string(plan.written) + " " + mke2fs_program +
                                " -q -F -t ext4 -E offset=" + std::to_string(offset) + " -d '" + tree + "' '" + image +
                                "' " + std::to_string((size - offset) / 1024) + "k";
    if (!run(command, log_)) {
        ADD_FAILURE() << command;
        return false;
    }
    bare_[plan.name] = work_ + "/" + plan.name + ".img";
    write_file(bare_[plan.name], contents_of(image).substr(offset));
    return true;
}

// Writes `image` into the extents of the volume where lvs says they lie, stripe by stripe.
bool LogicalVolumes::write_volume(const loop_devices& loops, const std::string& group, const std::string& volume,
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

bool LogicalVolumes::make_disks(loop_devices& loops) {
    // sdb: a LUKS2 partition, then two physical volumes of one group.
    const std::string sdb = work_ + "/sdb.img";
    std::ofstream(sdb).close();
    fs::resize_file(sdb, 80 * mib);
    write_file(work_ + "/script", "label: gpt\nstart=2048, size=16MiB, type=L\nsize=40MiB, type=" +
                                      std::string(lvm_partition_type) + "\nsize=20MiB, type=" + lvm_partition_type + "\n");
    if (!run(sfdisk_program + " -q '" + sdb + "' < '" + work_ + "/script'", log_)) return false;
    const auto parts = sfdisk_report::partitions_of(sfdisk_program, sdb);
    if (parts.size() != 3) return false;
    // pv: a physical volume of its own, with small metadata areas at both ends, whose group has a
    // second physical volume in "other", an image the devices folder never holds.
    const std::string pv = work_ + "/pv.img";
    const std::string other = work_ + "/other.img";
    const std::string thin = work_ + "/thin.img";
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
    fs::create_directories(work_ + "/lvm");
    write_file(work_ + "/lvm/lvm.conf", "devices { filter = [" + accept + "\"r|.*|\"] obtain_device_list_from_udev = 0 "
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
    lvm("vgcfgbackup", "-q -f '" + work_ + "/vgthin.txt' vgthin");
    std::string backup = contents_of(work_ + "/vgthin.txt");
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
    write_file(work_ + "/vgthin.txt", backup);
    lvm("vgcfgrestore", "-q --force -f '" + work_ + "/vgthin.txt' vgthin");
    // Small volumes until the current description wraps round the end of the first metadata area.
    for (int i = 1; i <= 40; ++i) {
        lvm("lvcreate", new_volume + "64k -n l" + std::to_string(i) + " vgbare " + bare);
        // The area's size, and the offset and size of the text in it, as its header holds them.
        std::uint64_t fields[3] = {};
        std::memcpy(fields, contents_of(pv).substr(4096 + 32, sizeof fields).data(), sizeof fields);
        wrapped_ = fields[1] + fields[2] > fields[0];
        if (wrapped_ || ::testing::Test::HasFailure()) break;
    }
    // Where the second metadata area is, as pvck reads the header of the volume.
    std::istringstream headers(lvm("pvck", "--dump headers " + bare));
    bool metadata_area = false;
    for (std::string line; std::getline(headers, line);) {
        if (metadata_area && line.find(".offset ") != std::string::npos) {
            areas_.push_back(std::stoull(line.substr(line.find(".offset ") + 8)));
        }
        metadata_area = line.find("# location of metadata area") != std::string::npos;
    }
    std::istringstream uuid(lvm("pvs", "--noheadings -o pv_uuid " + elsewhere));
    uuid >> missing_uuid_;
    std::istringstream volumes(lvm("lvs", "--noheadings --units b --nosuffix -o vg_name,lv_name,lv_size"));
    for (std::string vg, lv, size; volumes >> vg >> lv >> size;) sizes_[vg + "/" + lv] = std::stoull(size);
    std::uint32_t seed = 7;
    for (const volume_plan& plan : planned) {
        const std::string group = std::string(plan.name) == "bare" ? "vgbare" : "vgdisk";
        if (!make_file_system(plan, sizes_[group + "/" + plan.name], seed++) ||
            !write_volume(loops, group, plan.name, work_ + "/" + plan.name + ".volume")) {
            return false;
        }
    }
    // What holds no file system: swap, and volumes that cryptsetup formats.
    std::string text;
    while (text.size() < 2 * mib) text += "not an ext file system ";
    write_file(work_ + "/swap.volume", text.substr(0, 2 * mib));
    const std::string luks = cryptsetup_program + " luksFormat -q --pbkdf pbkdf2 --pbkdf-force-iterations 1000 ";
    for (const auto& [image, type] : {std::make_pair("secret.volume", "luks1"), std::make_pair("luks2.volume", "luks2"),
                                      std::make_pair("luks1.img", "luks1")}) {
        std::ofstream(work_ + "/" + image).close();
        fs::resize_file(work_ + "/" + image, 4 * mib);
        if (!run("echo secret | " + luks + "--type " + type + " '" + work_ + "/" + image + "'", log_)) return false;
    }
    write_at(sdb, parts[0].start_sector * 512, contents_of(work_ + "/luks2.volume"));
    // A BitLocker volume's boot sector starts with a jump and its signature.
    write_file(work_ + "/bitlocker.img", "\xeb\x58\x90-FVE-FS-" + std::string(mib, '\0'));
    return write_volume(loops, "vgdisk", "swap", work_ + "/swap.volume") &&
           write_volume(loops, "vgdisk", "secret", work_ + "/secret.volume");
}

bool LogicalVolumes::prepare() {
    work_ = fresh_folder("logical-volumes-" + std::to_string(getpid()));
    log_ = work_ + "/tools.log";
    {
        loop_devices loops(log_);
        if (!make_disks(loops)) {
            ADD_FAILURE() << "the disks could not be made: see " << log_;
            return false;
        }
    }
    return !::testing::Test::HasFailure();
}

// Each volume lists, within the disk and through the partition's own name ("sdb2", with no
// sdb2.img), what the bare image of its file system gives, which is what debugfs reports; its files
// copy out as they went in, the one whose blocks lie in root's second segment too.
TEST_F(LogicalVolumes, EachVolumeListsAndCopiesOutWhatItsImageGives) {
    place("sdb.img");
    place("pv.img");
    const std::string whole = kovox_listing("sdb.img");
    const std::string bare_disk = kovox_listing("pv.img");
    const std::string here = work_ + "/here";
    for (const volume_plan& plan : planned) {
        SCOPED_TRACE(plan.name);
        const std::string name = plan.name;
        const std::string inside = name + (plan.partitioned ? "/1/" : "/");
        fs::copy_file(bare_[name], devices_ + "/bare.img", fs::copy_options::overwrite_existing);
        const std::vector<std::string> expected = lines_of(kovox_listing("bare.img"));
        std::vector<std::string> oracle;
        expected_walk(debugfs_listings(bare_[name], work_), "/", oracle);
        std::vector<std::string> comparable_lines;
        for (const std::string& line : expected) comparable_lines.push_back(comparable_kovox_line(line));
        EXPECT_EQ(comparable_lines, as_kovox_prints(oracle, work_));
        ASSERT_GT(expected.size(), 80u);
        std::vector<std::pair<std::string, std::string>> archives;  // archive, the volume's path in it
        if (name == "bare") {
            EXPECT_EQ(lines_below(bare_disk, inside, false), expected);
            archives = {{"pv.img", "/" + inside}};
        } else {
            // The volumes of the group are folders of each of its physical volumes.
            EXPECT_EQ(lines_below(whole, "2/" + inside, false), expected);
            EXPECT_EQ(lines_below(whole, "3/" + inside, false), expected);
            EXPECT_EQ(lines_below(kovox_listing("sdb2.img"), inside, false), expected);
            archives = {{"sdb.img", "/2/" + inside}, {"sdb2.img", "/" + inside}};
        }
        // Every ninth file, and the big one, against the tree the image was made from.
        std::vector<std::string> files;
        for (const auto& item : fs::recursive_directory_iterator(work_ + "/tree-" + name)) {
            if (item.is_regular_file() && !item.is_symlink() && item.file_size() < 20 * mib) {
                files.push_back(item.path().string().substr(work_.size() + 6 + name.size() + 1));
            }
        }
        std::sort(files.begin(), files.end());
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (i % 9 != 0 && files[i] != "usr/big") continue;
            for (const auto& [archive, folder] : archives) {
                fs::remove_all(here);
                fs::create_directories(here);
                EXPECT_EQ(run_in(here, "kovox", {"-READ", archive, folder + files[i]}).status, 0);
                const std::string local = copied_file(here, files[i]);
                EXPECT_TRUE(fs::exists(local) && contents_of(local) == contents_of(work_ + "/tree-" + name + "/" + files[i]))
                    << archive << " " << folder << files[i];
            }
        }
    }
}

// The disk's root lists its partitions, a physical volume's folder its group's volumes in the order
// LVM made them, each the size lvs reports, at the time its file system was written or else the
// disk's; and what is not read says what it is when entered.
TEST_F(LogicalVolumes, VolumesAreFoldersAndWhatIsNotReadSaysWhy) {
    place("sdb.img");
    place("pv.img");
    place("luks1.img");
    place("bitlocker.img");
    place("thin.img");
    const std::string whole = kovox_listing("sdb.img");
    // vm's file system is in its partition, not at its start.
    const auto date_of = [](const std::string& volume) {
        for (const volume_plan& plan : planned) {
            if (volume == plan.name && !plan.partitioned) return std::string(plan.written_text);
        }
        return std::string(jan_02_2026_text);
    };
    std::vector<std::string> expected;
    for (const std::string volume : {"root", "home", "swap", "data", "vm", "secret"}) {
        expected.push_back(folder_line(sizes_["vgdisk/" + volume], date_of(volume), volume));
    }
    EXPECT_EQ(lines_below(whole, "2/", true), expected);
    EXPECT_EQ(lines_below(whole, "3/", true), expected);
    expected = {folder_line(sizes_["vgbare/bare"], date_of("bare"), "bare"),
                folder_line(sizes_["vgbare/spread"], jan_02_2026_text, "spread")};
    for (int i = 1; sizes_.count("vgbare/l" + std::to_string(i)) != 0; ++i) {
        expected.push_back(folder_line(64 * 1024, jan_02_2026_text, "l" + std::to_string(i)));
    }
    EXPECT_EQ(lines_below(kovox_listing("pv.img"), "", true), expected);
    EXPECT_TRUE(wrapped_) << "the description never wrapped round its metadata area";
    // The pool's hidden parts are not listed.
    EXPECT_EQ(lines_below(kovox_listing("thin.img"), "", true),
              (std::vector<std::string>{folder_line(4 * mib, jan_02_2026_text, "pool"),
                                        folder_line(8 * mib, jan_02_2026_text, "thin")}));

    const std::string needs = "logical volume vgbare/spread: it needs physical volume pv1 (UUID " + missing_uuid_ +
                              "), which is on no other partition of this disk: not read";
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"-s/dev/sdb", "/1"}, "partition 1: encrypted (LUKS2): not read"},
        {{"-s/dev/sdb1", "/"}, "partition 1: encrypted (LUKS2): not read"},
        {{"-s/dev/sdb", "/2/swap"}, "logical volume vgdisk/swap: no ext2/3/4 file system"},
        {{"-s/dev/sdb2", "/secret/etc"}, "logical volume vgdisk/secret: encrypted (LUKS1): not read"},
        {{"-READ", "-s/dev/sdb", "/3/secret/x", "x"}, "logical volume vgdisk/secret: encrypted (LUKS1): not read"},
        {{"-s/dev/pv", "/spread"}, needs},
        {{"-READ", "-s/dev/pv", "/spread/x", "x"}, needs},
        {{"-s/dev/luks1", "/"}, "luks1.img: encrypted (LUKS1): not read"},
        {{"-s/dev/bitlocker", "/"}, "bitlocker.img: encrypted (BitLocker): not read"},
        {{"-s/dev/thin", "/thin"}, "logical volume vgthin/thin: a thin volume, whose blocks its pool maps: not read "
                                   "(this tool reads linear and striped volumes)"},
        {{"-s/dev/thin", "/pool/x"}, "logical volume vgthin/pool: a thin pool, the store of thin volumes: not read "
                                     "(this tool reads linear and striped volumes)"},
        {{"-READ", "-s/dev/sdb", "/2/root", "x"}, "/2/root is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        const tool_result tool = run_tool(work_, c.arguments);
        EXPECT_EQ(tool.status, 1);
        EXPECT_EQ(tool.output, "");
        std::string errors = tool.errors;
        for (std::size_t at = errors.find("\r\n"); at != std::string::npos; at = errors.find("\r\n", at)) errors.erase(at, 1);
        const std::string message = c.message + "\n";
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_TRUE(errors.size() >= message.size() &&
                    errors.compare(errors.size() - message.size(), message.size(), message) == 0)
            << errors;
        EXPECT_FALSE(fs::exists(work_ + "/x"));
    }
}

// The second metadata area serves when the first is damaged; when both are, or the label is, the
// volume's folder says so and lists nothing.
TEST_F(LogicalVolumes, DamagedMetadataEndsWithAMessage) {
    place("pv.img");
    const std::string sound = kovox_listing("pv.img");
    ASSERT_EQ(areas_.size(), 2u);
    const std::uint64_t first_area = areas_[0];
    const std::uint64_t second_area = areas_[1];
    const struct {
        const char* name;
        std::vector<std::uint64_t> damaged;  // offsets of bytes changed
        const char* message;                 // none when the volume still lists
    } cases[] = {
        {"the first area's header", {first_area + 100}, nullptr},
        {"the first area's description", {first_area + 512 + 3}, nullptr},
        {"both areas' headers", {first_area + 100, second_area + 100},
         "LVM physical volume: metadata area 1: its header's checksum is wrong; metadata area 2: its header's "
         "checksum is wrong"},
        {"the label", {512 + 100}, "LVM physical volume: the LVM label in sector 1: its checksum is wrong"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = place("pv.img");
        for (const std::uint64_t at : c.damaged) write_at(image, at, "\x5a");
        set_mtime(image, jan_02_2026);
        const tool_result tool = run_tool(work_, {"-s/dev/pv", "/"});
        if (c.message == nullptr) {
            EXPECT_EQ(tool.status, 0) << tool.errors;
            EXPECT_EQ(kovox_listing("pv.img"), sound);
            continue;
        }
        EXPECT_EQ(tool.status, 1);
        EXPECT_NE(tool.errors.find(c.message), std::string::npos) << tool.errors;
        EXPECT_EQ(std::count(tool.errors.begin(), tool.errors.end(), '\n'), 1) << tool.errors;
    }
}

}  // namespace
}  // namespace whole_program
