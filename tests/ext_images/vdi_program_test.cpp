// kovox and the stand-in tool, both as built, over VirtualBox disk images (VDI). qemu-img writes
// static and dynamic images of an ext4 file system, bare and on a partitioned disk, and converts
// each back to a raw image: the tool must list every VDI exactly as it lists that raw image and
// copy its files out byte for byte. qemu-img writes no differencing VDI, so chains of them are
// written by vdi_writer.h over images debugfs changed, with the parent found through a machine's
// .vbox file or among the .vdi files beside the child. Damaged images end with one message.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"
#include "vdi_writer.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

const std::string sfdisk_program = SFDISK_PROGRAM;
const std::string qemu_img_program = QEMU_IMG_PROGRAM;
constexpr std::int64_t jan_02_2026 = 1767323045;

bool run(const std::string& command) {
    const bool ran = std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    EXPECT_TRUE(ran) << command;
    return ran;
}

void set_mtime(const std::string& path) {
    const struct timespec times[2] = {{jan_02_2026, 0}, {jan_02_2026, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string le32(std::uint32_t value) {
    std::string bytes(4, '\0');
    put_le32(bytes, 0, value);
    return bytes;
}

void make_tree(const std::string& root, std::uint32_t seed) {
    tree_maker tree(root, seed);
    for (const char* folder : {"etc", "usr/share/doc", "var/log", "home/user/My Documents"}) tree.folder(folder);
    for (int i = 0; i < 150; ++i) tree.file("etc/conf-" + std::to_string(i), tree.random_size(6000));
    for (int i = 0; i < 40; ++i) tree.file("usr/share/doc/doc " + std::to_string(i), tree.random_size(90000));
    tree.file("var/log/big.log", 3 * 1024 * 1024 + 5);
    tree.file("home/user/My Documents/caf\xc3\xa9.txt", 33);
    tree.sparse("var/log/sparse", 200 * 1024 * 1024 + 7);
    tree.set_times();
}

// How each VDI of the table is made: qemu-img over the bare or the partitioned raw image.
struct vdi_case {
    const char* device;  // a disk's name, so that "sdb1" names partition 1 of a partitioned one
    bool partitioned;
    bool fixed;
};
const vdi_case qemu_cases[] = {
    {"vda", false, false}, {"vdb", false, true}, {"sdb", true, false}, {"sdc", true, true}};

class VdiImages : public ::testing::Test {
protected:
    static bool prepare() {
        work_ = fresh_folder("vdi-images-" + std::to_string(getpid()));
        make_tree(work_ + "/tree", 7);
        const std::string bare = work_ + "/bare.raw", disk = work_ + "/disk.raw";
        write_file(work_ + "/script", "label: gpt\nstart=2048, size=60MiB, type=L\n");
        if (!run(mke2fs_program + " -q -F -t ext4 -b 4096 -d '" + work_ + "/tree' '" + bare + "' 64M") ||
            !run("truncate -s 72M '" + disk + "' && " + sfdisk_program + " -q '" + disk + "' < '" + work_ + "/script'") ||
            !run(mke2fs_program + " -q -F -t ext4 -b 1024 -E offset=1048576 -d '" + work_ + "/tree' '" + disk + "' 61440k")) {
            return false;
        }
        for (const vdi_case& c : qemu_cases) {
            const std::string vdi = work_ + "/" + c.device + ".vdi";
            if (!run(qemu_img_program + " convert -O vdi -o static=" + (c.fixed ? "on" : "off") + " '" +
                     (c.partitioned ? disk : bare) + "' '" + vdi + "'") ||
                !run(qemu_img_program + " convert -O raw '" + vdi + "' '" + work_ + "/" + c.device + ".raw'")) {
                return false;
            }
        }
        return make_chain();
    }

    // A chain of three: the base disk as qemu-img wrote it, a snapshot over it with files added
    // and removed by debugfs, and the current state over that. The children's blocks are 64 KiB
    // and 256 KiB, the base's 1 MiB.
    static bool make_chain() {
        const std::string bare = work_ + "/bare.raw";
        const std::string middle = work_ + "/middle.raw", current = work_ + "/current.raw";
        write_file(work_ + "/middle-changes",
                   "mkdir added\ncd added\nwrite " + work_ + "/tree/etc/conf-3 conf\ncd /\nrm etc/conf-7\n");
        write_file(work_ + "/current-changes",
                   "cd added\nwrite " + work_ + "/tree/var/log/big.log big\ncd /\nrm \"usr/share/doc/doc 1\"\n");
        fs::copy_file(bare, middle);
        if (!run(debugfs_program + " -w -f '" + work_ + "/middle-changes' '" + middle + "'")) return false;
        fs::copy_file(middle, current);
        if (!run(debugfs_program + " -w -f '" + work_ + "/current-changes' '" + current + "'")) return false;
        // big.log's data zeroed in place, as a discard leaves it: the child marks those blocks zeroed,
        // over the parent's blocks that still hold the data.
        const auto answers = ask_debugfs(current, {"blocks /var/log/big.log"}, work_);
        if (answers.size() != 1 || answers[0].size() != 1) return false;
        std::istringstream numbers(answers[0][0]);
        for (std::uint64_t number = 0; numbers >> number;) write_at(current, number * 4096, std::string(4096, '\0'));
        const std::string base_bytes = contents_of(bare), middle_bytes = contents_of(middle);
        write_vdi(work_ + "/middle.vdi", middle_bytes, {64 * 1024, make_vdi_uuid(2), base_uuid(), &base_bytes});
        write_vdi(work_ + "/current.vdi", contents_of(current), {256 * 1024, make_vdi_uuid(3), make_vdi_uuid(2), &middle_bytes});
        return true;
    }

    // qemu-img's base image carries a UUID of its own.
    static vdi_uuid base_uuid() {
        const std::string header = contents_of(work_ + "/vda.vdi").substr(0x188, 16);
        vdi_uuid id{};
        for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<unsigned char>(header[i]);
        return id;
    }

    static void TearDownTestSuite() { fs::remove_all(work_); }

    void SetUp() override {
        static const bool prepared = prepare();
        ASSERT_TRUE(prepared);
        old_path_ = set_up_runs(work_, devices_, temp_);
    }
    void TearDown() override { set_environment("PATH", old_path_); }

    std::string place(const std::string& from, const std::string& to) const {
        fs::create_directories(fs::path(to).parent_path());
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        set_mtime(to);
        return to;
    }

    static std::string kovox_listing(const std::string& archive) {
        const run_result result = run_in(binary_directory(), "kovox", {archive});
        EXPECT_EQ(result.status, 0) << archive;
        return with_line_feeds(result.output);
    }

    // The VDI `device` lists as the raw image `oracle` does, whole, and every fifth file of it
    // (every 15th under Wine) up to 4 MiB comes out byte for byte as the raw image gives it, and
    // but for `changed` as the tree held it.
    void expect_same_disk(const std::string& device, const std::string& oracle, const std::string& tree_prefix,
                          const std::string& changed = "") {
        const std::string listing = kovox_listing(device + ".img");
        const std::string oracle_image = devices_ + "/" + oracle + ".img";
        EXPECT_EQ(lines_of(listing),
                  lines_of(once_per_image(oracle_image, [&oracle] { return kovox_listing(oracle + ".img"); })));
        EXPECT_GT(lines_of(listing).size(), 200u);
        const std::string here = work_ + "/here";
        std::size_t copied = 0;
        const std::vector<std::string> lines = lines_of(listing);
        for (std::size_t i = 0; i < lines.size(); i += copy_stride(5)) {
            if (lines[i].size() < 47 || lines[i][0] != '-' || std::stoull(lines[i].substr(11, 13)) > 4u << 20) continue;
            const std::string path = "/" + lines[i].substr(46);
            std::string bytes[2];
            for (int j = 0; j < 2; ++j) {
                fs::remove_all(here);
                fs::create_directories(here);
                EXPECT_EQ(run_in(here, "kovox", {"-READ", (j == 0 ? device : oracle) + ".img", path}).status, 0) << path;
                bytes[j] = contents_of(copied_file(here, path));
            }
            EXPECT_TRUE(bytes[0] == bytes[1]) << device << " " << path;
            const std::string source = work_ + "/tree/" + path.substr(tree_prefix.size() + 1);
            if (fs::exists(source) && path != changed) {
                EXPECT_TRUE(bytes[0] == contents_of(source)) << path;
            }
            ++copied;
        }
        // Under Wine a third as many, as copy_stride has it.
        EXPECT_GT(copied * copy_stride(1), 20u) << device;
    }

    // The tool's standard error is one line, which holds each of `parts`.
    static void expect_one_message(const tool_result& tool, const std::vector<std::string>& parts) {
        EXPECT_EQ(tool.status, 1);
        std::string errors = tool.errors;
        errors.erase(std::remove(errors.begin(), errors.end(), '\r'), errors.end());
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        for (const std::string& part : parts) EXPECT_NE(errors.find(part), std::string::npos) << errors;
    }

    static std::string work_;
    std::string devices_, temp_, old_path_;
};

std::string VdiImages::work_;

TEST_F(VdiImages, ListsAndCopiesOutWhatTheRawImageOfTheSameVdiGives) {
    for (const vdi_case& c : qemu_cases) {
        SCOPED_TRACE(c.device);
        place(work_ + "/" + c.device + ".vdi", devices_ + "/" + c.device + ".img");
        place(work_ + "/" + c.device + ".raw", devices_ + "/sdo.img");
        expect_same_disk(c.device, "sdo", c.partitioned ? "/1" : "");
        // A partition of a VDI by its own device name, as of a raw disk.
        if (c.partitioned) {
            EXPECT_EQ(kovox_listing(std::string(c.device) + "1.img"), kovox_listing("sdo1.img"));
        }
    }
}

// The machine's folder as VirtualBox lays it out: the base disk, Snapshots/{uuid}.vdi for the
// snapshot's image, and the current state's image, which the devices folder names here.
TEST_F(VdiImages, DifferencingChainsReadThroughTheirParents) {
    const struct {
        const char* name;
        bool settings_file;
    } cases[] = {{"through the machine's .vbox file", true}, {"among the .vdi files of the folders", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string machine = work_ + "/machine";
        fs::remove_all(machine);
        const std::string snapshots = machine + "/Snapshots";
        const std::string middle = snapshots + "/" + vdi_uuid_text(make_vdi_uuid(2)) + ".vdi";
        place(work_ + "/middle.vdi", middle);
        place(work_ + "/current.vdi", snapshots + "/current.img");
        if (c.settings_file) {
            // Only the settings file tells where the base disk is: no folder scan would find it.
            place(work_ + "/vda.vdi", machine + "/disks/base & co.vdi");
            write_file(machine + "/machine.vbox",
                       "<?xml version=\"1.0\"?>\n<VirtualBox>\n  <Machine name=\"m\">\n    <MediaRegistry>\n"
                       "      <HardDisks>\n        <HardDisk uuid=\"" + vdi_uuid_text(base_uuid()) +
                           "\" location=\"disks/base &amp; co.vdi\" format=\"VDI\" type=\"Normal\">\n"
                           "          <HardDisk uuid='" + vdi_uuid_text(make_vdi_uuid(2)) + "' location='Snapshots\\" +
                           fs::path(middle).filename().string() + "' format='VDI'>\n"
                           "            <HardDisk uuid=\"" + vdi_uuid_text(make_vdi_uuid(3)) +
                           "\" location=\"Snapshots/current.img\" format=\"VDI\"/>\n"
                           "          </HardDisk>\n        </HardDisk>\n      </HardDisks>\n"
                           "    </MediaRegistry>\n  </Machine>\n</VirtualBox>\n");
        } else {
            place(work_ + "/vda.vdi", machine + "/base.vdi");
        }
        set_environment("KOVO_DEVICES", snapshots);
        place(work_ + "/current.raw", snapshots + "/sdo.img");
        expect_same_disk("current", "sdo", "", "/var/log/big.log");
        const std::string here = work_ + "/here";
        fs::remove_all(here);
        fs::create_directories(here);
        EXPECT_EQ(run_in(here, "kovox", {"-READ", "current.img", "/var/log/big.log"}).status, 0);
        EXPECT_TRUE(contents_of(here + "/big.log") == std::string(3 * 1024 * 1024 + 5, '\0'));
        // What debugfs changed is there, and what it removed is gone.
        const std::string listing = kovox_listing("current.img");
        EXPECT_NE(listing.find(" added/big\n"), std::string::npos);
        EXPECT_NE(listing.find(" added/conf\n"), std::string::npos);
        EXPECT_EQ(listing.find(" etc/conf-7\n"), std::string::npos);
        EXPECT_EQ(listing.find(" usr/share/doc/doc 1\n"), std::string::npos);
    }
}

TEST_F(VdiImages, DamagedImagesEndWithOneMessage) {
    const std::uint64_t vdi_size = fs::file_size(work_ + "/vda.vdi");
    const struct {
        const char* name;
        std::function<void(const std::string&)> damage;
        std::vector<std::string> message;
    } cases[] = {
        {"truncated", [vdi_size](const std::string& image) { fs::resize_file(image, vdi_size / 2); },
         {"disk.img", "it is truncated"}},
        {"the first block mapped past the end of the file",
         [](const std::string& image) { write_at(image, 0x200, le32(0x00100000)); },
         {"disk.img", "block 0 of the disk is mapped to data block 1048576, past the end of the file"}},
        {"a block size that is not a power of two",
         [](const std::string& image) { write_at(image, 0x178, le32(1000000)); },
         {"disk.img", "a block size of 1000000 bytes, which is not a power of two"}},
        {"a differencing image whose parent is nowhere",
         [](const std::string& image) {
             write_at(image, 0x4C, le32(4));
             write_at(image, 0x1A8, std::string(16, '\x5a'));
         },
         {"disk.img", "its parent image {5a5a5a5a-5a5a-5a5a-5a5a-5a5a5a5a5a5a} is not found"}},
        {"two differencing images, each the other's parent",
         [this](const std::string& image) {
             write_at(image, 0x4C, le32(4));
             write_at(image, 0x1A8, std::string(16, '\x5a'));
             const std::string other = devices_ + "/other.vdi";
             fs::copy_file(image, other, fs::copy_options::overwrite_existing);
             write_at(other, 0x188, std::string(16, '\x5a'));
             write_at(other, 0x1A8, contents_of(image).substr(0x188, 16));
             fs::copy_file(image, devices_ + "/disk.vdi", fs::copy_options::overwrite_existing);
         },
         {"a chain of more than 64 disks over their parents, or one that loops"}},
        {"a parent that the .vbox file names where another image is",
         [this](const std::string& image) {
             write_at(image, 0x4C, le32(4));
             write_at(image, 0x1A8, std::string(16, '\x5a'));
             place(work_ + "/vdb.vdi", devices_ + "/VMs/other.vdi");
             write_file(devices_ + "/m.vbox", "<HardDisk uuid=\"{5A5A5A5A-5A5A-5A5A-5A5A-5A5A5A5A5A5A}\" location=\"VMs/other.vdi\"/>");
         },
         {"disk.img", "is not found", "m.vbox names", "other.vdi for it, which is image {"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(devices_);
        const std::string image = place(work_ + "/vda.vdi", devices_ + "/disk.img");
        c.damage(image);
        expect_one_message(run_tool(work_, {"-s/dev/disk", "/"}), c.message);
        expect_one_message(run_tool(work_, {"-READ", "-s/dev/disk", "/etc/conf-1", "x"}), c.message);
        EXPECT_FALSE(fs::exists(work_ + "/x"));
    }
}

}  // namespace
}  // namespace whole_program
