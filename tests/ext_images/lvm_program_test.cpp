// kovox and the stand-in tool, both as built, over LVM physical volumes whose metadata LVM's own
// tools write (metadata only, on loop devices over the test's images, with no device mapper), and
// over encrypted volumes that cryptsetup formats. Each logical volume's file system is made as an
// image of its own by mke2fs and written into the extents that lvs reports: every volume must list
// as that image does and copy out its files byte for byte, the image itself held to debugfs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "device_model.h"
#include "ext_image_support.h"
#include "lvm_test_disks.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

std::string right_justified(const std::string& text, std::size_t width) {
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

std::string folder_line(std::uint64_t size, const std::string& date, const std::string& path) {
    return "d--------- " + right_justified(std::to_string(size), 13) + " " + date + " " + path;
}

class LogicalVolumes : public ::testing::Test {
protected:
    static void TearDownTestSuite() { fs::remove_all(disks_.work); }

    void SetUp() override {
        static const bool prepared = make_lvm_disks(fresh_folder("logical-volumes-" + std::to_string(getpid())), disks_);
        ASSERT_TRUE(prepared);
        old_path_ = set_up_runs(disks_.work, devices_, temp_);
    }
    void TearDown() override { set_environment("PATH", old_path_); }

    std::string place(const std::string& image) const {
        const std::string placed = devices_ + "/" + fs::path(image).filename().string();
        fs::copy_file(disks_.work + "/" + image, placed, fs::copy_options::overwrite_existing);
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

    static made_lvm_disks disks_;
    std::string devices_, temp_, old_path_;
};

made_lvm_disks LogicalVolumes::disks_;

// copy out as they went in, the one whose blocks lie in root's second segment too.
TEST_F(LogicalVolumes, EachVolumeListsAndCopiesOutWhatItsImageGives) {
    place("sdb.img");
    place("pv.img");
    const std::string whole = kovox_listing("sdb.img");
    const std::string bare_disk = kovox_listing("pv.img");
    const std::string here = disks_.work + "/here";
    for (const volume_plan& plan : planned_volumes) {
        SCOPED_TRACE(plan.name);
        const std::string name = plan.name;
        const std::string inside = name + (plan.partitioned ? "/1/" : "/");
        fs::copy_file(disks_.bare[name], devices_ + "/bare.img", fs::copy_options::overwrite_existing);
        const std::vector<std::string> expected = lines_of(kovox_listing("bare.img"));
        std::vector<std::string> oracle;
        expected_walk(debugfs_listings(disks_.bare[name], disks_.work), "/", oracle);
        std::vector<std::string> comparable_lines;
        for (const std::string& line : expected) comparable_lines.push_back(comparable_kovox_line(line));
        EXPECT_EQ(comparable_lines, as_kovox_prints(oracle, disks_.work));
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
        for (const auto& item : fs::recursive_directory_iterator(disks_.work + "/tree-" + name)) {
            if (item.is_regular_file() && !item.is_symlink() && item.file_size() < 20 * mib) {
                files.push_back(item.path().string().substr(disks_.work.size() + 6 + name.size() + 1));
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
                EXPECT_TRUE(fs::exists(local) && contents_of(local) == contents_of(disks_.work + "/tree-" + name + "/" + files[i]))
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
        for (const volume_plan& plan : planned_volumes) {
            if (volume == plan.name && !plan.partitioned) return std::string(plan.written_text);
        }
        return std::string(jan_02_2026_text);
    };
    std::vector<std::string> expected;
    for (const std::string volume : {"root", "home", "swap", "data", "vm", "secret"}) {
        expected.push_back(folder_line(disks_.sizes["vgdisk/" + volume], date_of(volume), volume));
    }
    EXPECT_EQ(lines_below(whole, "2/", true), expected);
    EXPECT_EQ(lines_below(whole, "3/", true), expected);
    expected = {folder_line(disks_.sizes["vgbare/bare"], date_of("bare"), "bare"),
                folder_line(disks_.sizes["vgbare/spread"], jan_02_2026_text, "spread")};
    for (int i = 1; disks_.sizes.count("vgbare/l" + std::to_string(i)) != 0; ++i) {
        expected.push_back(folder_line(64 * 1024, jan_02_2026_text, "l" + std::to_string(i)));
    }
    EXPECT_EQ(lines_below(kovox_listing("pv.img"), "", true), expected);
    EXPECT_TRUE(disks_.wrapped) << "the description never wrapped round its metadata area";
    // The pool's hidden parts are not listed.
    EXPECT_EQ(lines_below(kovox_listing("thin.img"), "", true),
              (std::vector<std::string>{folder_line(4 * mib, jan_02_2026_text, "pool"),
                                        folder_line(8 * mib, jan_02_2026_text, "thin")}));

    const std::string needs = "logical volume vgbare/spread: it needs physical volume pv1 (UUID " + disks_.missing_uuid +
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
        const tool_result tool = run_tool(disks_.work, c.arguments);
        EXPECT_EQ(tool.status, 1);
        EXPECT_EQ(tool.output, "");
        std::string errors = tool.errors;
        for (std::size_t at = errors.find("\r\n"); at != std::string::npos; at = errors.find("\r\n", at)) errors.erase(at, 1);
        const std::string message = c.message + "\n";
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_TRUE(errors.size() >= message.size() &&
                    errors.compare(errors.size() - message.size(), message.size(), message) == 0)
            << errors;
        EXPECT_FALSE(fs::exists(disks_.work + "/x"));
    }
}

// The second metadata area serves when the first is damaged; when both are, or the label is, the
// volume's folder says so and lists nothing.
TEST_F(LogicalVolumes, DamagedMetadataEndsWithAMessage) {
    place("pv.img");
    const std::string sound = kovox_listing("pv.img");
    ASSERT_EQ(disks_.areas.size(), 2u);
    const std::uint64_t first_area = disks_.areas[0];
    const std::uint64_t second_area = disks_.areas[1];
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
        const tool_result tool = run_tool(disks_.work, {"-s/dev/pv", "/"});
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
