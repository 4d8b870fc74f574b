// kovox and the stand-in tool, both as built, over whole-disk images: sfdisk writes a GPT or an MBR
// with logical partitions, and mke2fs puts an ext4 file system into each Linux partition. Each
// partition must list and copy out exactly what a bare image of its file system gives, itself held
// to what debugfs reports; the disk's root lists one folder per partition where sfdisk says they
// are; and damaged tables end with a message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"
#include "sfdisk_report.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

const std::string sfdisk_program = SFDISK_PROGRAM;
constexpr std::uint64_t sector = 512;
constexpr std::int64_t jan_02_2026 = 1767323045;  // the disks' own time
const char jan_02_2026_text[] = "Jan 02 03:04:05 2026";

// One partition of a test disk: an ext4 file system when `block_size` is set, else bytes that are
// no file system. Each file system is written at a time of its own, which its folder shows.
struct partition_plan {
    unsigned number;
    unsigned block_size;
    std::int64_t written;
    const char* written_text;
};

struct disk_plan {
    const char* device;
    std::uint64_t size;
    const char* script;
    std::vector<partition_plan> partitions;
};

// A GPT with a partition of another kind first, then two ext4 ones of different block sizes (the
// 1 KiB one spans several block groups); an MBR with a primary and two logical partitions.
const disk_plan disks[] = {
    {"sdb", 72 * 1024 * 1024,
     "label: gpt\n"
     "start=2048, size=4MiB, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
     "size=40MiB, type=L\n"
     "size=24MiB, type=L\n",
     {{1, 0, 0, nullptr}, {2, 1024, 1704164645, "Jan 02 03:04:05 2024"}, {3, 4096, 1600000000, "Sep 13 12:26:40 2020"}}},
    {"sdc", 80 * 1024 * 1024,
     "label: dos\n"
     "start=2048, size=24MiB, type=83\n"
     "type=5\n"
     "size=24MiB, type=83\n"
     "size=24MiB, type=83\n",
     {{1, 4096, 1500000000, "Jul 14 02:40:00 2017"}, {5, 1024, 1400000000, "May 13 16:53:20 2014"},
      {6, 4096, 1300000000, "Mar 13 07:06:40 2011"}}},
};

// A tree of its own for each partition, so that serving the wrong one shows: nested folders, files
// from empty to several blocks and extents, a sparse file, a link, a read-only file.
void make_partition_tree(const std::string& root, const std::string& label, std::uint32_t seed) {
    tree_maker tree(root, seed);
    const fs::perms read_only = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    for (const std::string& folder :
         std::vector<std::string>{"etc", "usr/share/doc", "var/log", "home/" + label + "/My Documents"}) {
        tree.folder(folder);
    }
    tree.file(label, 7);
    for (int i = 0; i < 120; ++i) {
        tree.file("etc/" + label + "-" + std::to_string(i) + ".conf", tree.random_size(5000),
                  i % 9 == 0 ? read_only : fs::perms::none);
    }
    for (int i = 0; i < 30; ++i) tree.file("usr/share/doc/part " + std::to_string(i), tree.random_size(70000));
    tree.file("var/log/big.log", 1024 * 1024 + 3);
    tree.file("home/" + label + "/My Documents/caf\xc3\xa9.txt", 33);
    tree.sparse("var/log/sparse", 300 * 1024 * 1024 + 5);
    fs::create_symlink("../etc", root + "/var/etc");
    tree.set_times();
}

std::string right_justified(const std::string& text, std::size_t width) {
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

// kovox's line for a partition's folder at the disk's root.
std::string root_line(unsigned number, std::uint64_t size, const std::string& date) {
    return "d--------- " + right_justified(std::to_string(size), 13) + " " + date + " " + std::to_string(number);
}

// `text` with LF line ends: the Windows builds end their lines, standard error's included, in CR LF.
std::string with_lf_line_ends(std::string text) {
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
    return text;
}

void set_mtime(const std::string& path, std::int64_t seconds) {
    const struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

std::string read_at(const std::string& path, std::uint64_t offset, std::size_t count) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(count, '\0');
    file.read(&bytes[0], static_cast<std::streamsize>(count));
    return bytes;
}

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

// An MBR partition entry: type, first sector and length in sectors.
std::string mbr_entry(unsigned char type, std::uint32_t first, std::uint32_t sectors) {
    std::string entry(16, '\0');
    entry[4] = static_cast<char>(type);
    for (int i = 0; i < 4; ++i) {
        entry[8 + static_cast<std::size_t>(i)] = static_cast<char>((first >> (8 * i)) & 0xff);
        entry[12 + static_cast<std::size_t>(i)] = static_cast<char>((sectors >> (8 * i)) & 0xff);
    }
    return entry;
}

// A file system made in a partition, with the bare image of it that the partition must serve alike.
struct made_partition {
    sfdisk_report::reported_partition place;
    const partition_plan* plan = nullptr;
    std::string bare_image;
    std::vector<std::string> expected;  // the oracle's walk, cut to what debugfs tells
    std::vector<std::string> files;     // regular files up to 2 MiB, with their paths on the image
};

class WholeDisks : public ::testing::Test {
protected:
    static bool prepare() {
        work_ = fresh_folder("whole-disks-" + std::to_string(getpid()));
        std::uint32_t seed = 1;
        for (const disk_plan& disk : disks) {
            const std::string image = work_ + "/" + disk.device + ".img";
            std::ofstream(image).close();
            fs::resize_file(image, disk.size);
            write_file(work_ + "/script", disk.script);
            if (std::system((sfdisk_program + " -q '" + image + "' < '" + work_ + "/script' >/dev/null 2>&1").c_str()) != 0) {
                ADD_FAILURE() << "sfdisk failed on " << image;
                return false;
            }
            std::vector<sfdisk_report::reported_partition> places = sfdisk_report::partitions_of(sfdisk_program, image);
            places.erase(std::remove_if(places.begin(), places.end(),
                                        [](const sfdisk_report::reported_partition& p) { return p.is_extended(); }),
                         places.end());
            EXPECT_EQ(places.size(), disk.partitions.size()) << image;
            for (std::size_t i = 0; i < places.size() && i < disk.partitions.size(); ++i) {
                made_partition made;
                made.place = places[i];
                made.plan = &disk.partitions[i];
                EXPECT_EQ(made.place.number, made.plan->number);
                if (!make_file_system(image, disk.device, made, seed++)) return false;
                made_[disk.device].push_back(made);
            }
            set_mtime(image, jan_02_2026);
        }
        return !::testing::Test::HasFailure();
    }

    // mke2fs writes the file system into the partition where sfdisk put it; the bare image is a copy
    // of the partition's bytes.
    static bool make_file_system(const std::string& image, const std::string& device, made_partition& made,
                                 std::uint32_t seed) {
        const std::uint64_t start = made.place.start_sector * sector;
        const std::uint64_t size = made.place.sectors * sector;
        if (made.plan->block_size == 0) {
            // Bytes of another kind: a partition's worth of text, no ext superblock among them.
            std::string text;
            while (text.size() < 8192) text += "not an ext file system ";
            write_at(image, start, text);
            return true;
        }
        const std::string label = device + std::to_string(made.place.number);
        const std::string tree = work_ + "/tree-" + label;
        make_partition_tree(tree, label, seed * 2654435761u);
        const std::string command = "E2FSPROGS_FAKE_TIME=" + std::to_string(made.plan->written) + " " +
                                    mke2fs_program + " -q -F -t ext4 -b " + std::to_string(made.plan->block_size) +
                                    " -E offset=" + std::to_string(start) + " -d '" + tree + "' '" + image + "' " +
                                    std::to_string(size / 1024) + "k >/dev/null 2>&1";
        if (::testing::Test::HasFailure() || std::system(command.c_str()) != 0) {
            ADD_FAILURE() << command;
            return false;
        }
        made.bare_image = work_ + "/bare-" + label + ".img";
        write_file(made.bare_image, read_at(image, start, static_cast<std::size_t>(size)));
        const auto listings = debugfs_listings(made.bare_image, work_);
        expected_walk(listings, "/", made.expected);
        for (const auto& [folder, entries] : listings) {
            for (const image_entry& entry : entries) {
                if (is_regular(entry) && entry.size <= 2 * 1024 * 1024) made.files.push_back(folder + entry.name);
            }
        }
        return made.expected.size() > 150;
    }

    static void TearDownTestSuite() { fs::remove_all(work_); }

    void SetUp() override {
        static const bool prepared = prepare();
        ASSERT_TRUE(prepared);
        old_path_ = set_up_runs(work_, devices_, temp_);
    }
    void TearDown() override { set_environment("PATH", old_path_); }

    // A copy of the disk in the devices folder, its time kept, for a test to damage.
    std::string place_disk(const std::string& device) const {
        const std::string image = devices_ + "/" + device + ".img";
        fs::copy_file(work_ + "/" + device + ".img", image, fs::copy_options::overwrite_existing);
        set_mtime(image, jan_02_2026);
        return image;
    }

    static std::string kovox_listing(const std::string& archive) {
        const run_result result = run_in(binary_directory(), "kovox", {archive});
        EXPECT_EQ(result.status, 0) << archive;
        return with_lf_line_ends(result.output);
    }

    // kovox's lines for the root of the disk: those whose path has no "/".
    static std::vector<std::string> root_lines(const std::string& listing) {
        std::vector<std::string> lines;
        for (const std::string& line : lines_of(listing)) {
            if (line.size() > 46 && line.find('/', 46) == std::string::npos) lines.push_back(line);
        }
        return lines;
    }

    // kovox's lines below the folder `number` of the disk's root, with that folder's name taken off.
    static std::string partition_lines(const std::string& listing, unsigned number) {
        const std::string prefix = std::to_string(number) + "/";
        std::string lines;
        for (const std::string& line : lines_of(listing)) {
            if (line.compare(46, prefix.size(), prefix) == 0) lines += line.substr(0, 46) + line.substr(46 + prefix.size()) + "\n";
        }
        return lines;
    }

    static std::string work_;
    static std::map<std::string, std::vector<made_partition>> made_;
    std::string devices_, temp_, old_path_;
};

std::string WholeDisks::work_;
std::map<std::string, std::vector<made_partition>> WholeDisks::made_;

TEST_F(WholeDisks, RootListsOneFolderPerPartitionWhereSfdiskPutsIt) {
    for (const disk_plan& disk : disks) {
        SCOPED_TRACE(disk.device);
        place_disk(disk.device);
        std::vector<std::string> expected;
        for (const made_partition& made : made_[disk.device]) {
            expected.push_back(root_line(made.place.number, made.place.sectors * sector,
                                         made.plan->block_size != 0 ? made.plan->written_text : jan_02_2026_text));
        }
        EXPECT_EQ(root_lines(kovox_listing(std::string(disk.device) + ".img")), expected);
        const tool_result tool = run_tool(work_, {"-s/dev/" + std::string(disk.device), "/"});
        EXPECT_EQ(tool.status, 0);
        EXPECT_EQ(tool.errors, "");
    }
}

// Listed within the whole disk and by the partition's own device name ("sdb2", with no sdb2.img),
// each partition gives what its bare image gives, byte for byte, and that is what debugfs reports.
TEST_F(WholeDisks, EachPartitionListsAndCopiesOutWhatItsBareImageGives) {
    const std::string here = work_ + "/here";
    for (const disk_plan& disk : disks) {
        place_disk(disk.device);
        const std::string whole = kovox_listing(std::string(disk.device) + ".img");
        for (const made_partition& made : made_[disk.device]) {
            if (made.plan->block_size == 0) continue;
            const std::string number = std::to_string(made.place.number);
            const std::string named = disk.device + number;
            SCOPED_TRACE(named);
            fs::copy_file(made.bare_image, devices_ + "/bare.img", fs::copy_options::overwrite_existing);
            const std::string bare = kovox_listing("bare.img");
            std::vector<std::string> comparable_lines;
            for (const std::string& line : lines_of(bare)) comparable_lines.push_back(comparable_kovox_line(line));
            const std::vector<std::string> expected = as_kovox_prints(made.expected, work_);
            EXPECT_EQ(comparable_lines, expected);
            EXPECT_EQ(partition_lines(whole, made.place.number), bare);
            EXPECT_EQ(kovox_listing(named + ".img"), bare);

            // Every seventh file, through both names, as debugfs dumps it from the bare image.
            std::vector<std::string> files;
            for (std::size_t i = 0; i < made.files.size(); i += 7) files.push_back(made.files[i]);
            ASSERT_GE(files.size(), 20u);
            const std::string dumped = work_ + "/dumped";
            fs::remove_all(dumped);
            fs::create_directories(dumped);
            std::vector<std::string> requests;
            for (std::size_t i = 0; i < files.size(); ++i) {
                requests.push_back("dump \"" + files[i] + "\" \"" + dumped + "/" + std::to_string(i) + "\"");
            }
            ask_debugfs(made.bare_image, requests, work_);
            for (std::size_t i = 0; i < files.size(); ++i) {
                for (const auto& [archive, path] : {std::make_pair(std::string(disk.device) + ".img", "/" + number + files[i]),
                                                    std::make_pair(named + ".img", files[i])}) {
                    fs::remove_all(here);
                    fs::create_directories(here);
                    EXPECT_EQ(run_in(here, "kovox", {"-READ", archive, path}).status, 0);
                    const std::string local = copied_file(here, files[i]);
                    EXPECT_TRUE(fs::exists(local) && contents_of(local) == contents_of(dumped + "/" + std::to_string(i)))
                        << archive << " " << path;
                }
            }
        }
    }
}

// The partition of another kind is listed but holds nothing, and the tool says what it found; a
// partition the table does not have, or a partition folder copied as a file, is refused.
TEST_F(WholeDisks, WhatHoldsNoFileSystemListsNothingWithAMessage) {
    place_disk("sdb");
    EXPECT_EQ(partition_lines(kovox_listing("sdb.img"), 1), "");
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{"-s/dev/sdb", "/1"}, "partition 1: no ext2/3/4 file system"},
        {{"-s/dev/sdb", "/1/etc"}, "partition 1: no ext2/3/4 file system"},
        {{"-s/dev/sdb1", "/"}, "partition 1: no ext2/3/4 file system"},
        {{"-READ", "-s/dev/sdb1", "/x", "x"}, "partition 1: no ext2/3/4 file system"},
        {{"-s/dev/sdb4", "/"}, "sdb.img has no partition 4"},
        {{"-READ", "-s/dev/sdb", "/2", "x"}, "/2 is not a regular file"},
        {{"-READ", "-s/dev/sdb", "/9/x", "x"}, "Can't find /9/x on /dev/sdb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        const tool_result tool = run_tool(work_, c.arguments);
        EXPECT_EQ(tool.status, 1);
        EXPECT_EQ(tool.output, "");
        // The message is the whole of the tool's one line, after its name.
        const std::string message = std::string(c.message) + "\n";
        const std::string errors = with_lf_line_ends(tool.errors);
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_TRUE(errors.size() >= message.size() &&
                    errors.compare(errors.size() - message.size(), message.size(), message) == 0)
            << errors;
        EXPECT_FALSE(fs::exists(work_ + "/x"));
    }
    // A name with no disk image behind it stays a folder device that is not there.
    const tool_result missing = run_tool(work_, {"-s/dev/sdd2", "/"});
    EXPECT_EQ(with_lf_line_ends(missing.output), "Can't find / on /dev/sdd2\n");
}

// Each damaged table ends with a message on the tool's standard error and a listing of what it
// could trust; kovox ends with status 0; the partitions that are left list as before.
TEST_F(WholeDisks, DamagedTablesEndWithAMessage) {
    const std::uint64_t gpt_size = disks[0].size;
    const made_partition& sdc1 = made_["sdc"][0];
    const made_partition& sdb3 = made_["sdb"][2];
    // The first sector of an entry of the table at `table_sector`: in the MBR, the extended
    // partition's is its first link; in a link, the second entry's leads to the next one.
    const auto first_sector_of = [](const std::string& image, std::uint64_t table_sector, unsigned slot) {
        return le32(read_at(image, table_sector * sector + 446 + 16 * slot + 8, 4), 0);
    };
    const struct {
        const char* name;
        const char* device;
        std::function<void(const std::string&)> damage;
        std::vector<unsigned> listed;  // the partitions the root still lists
        const char* message;
    } cases[] = {
        {"GPT: the primary header zeroed", "sdb",
         [](const std::string& image) { write_at(image, sector, std::string(sector, '\0')); }, {1, 2, 3},
         "the primary GPT is damaged: it has no GPT signature; reading the backup at the image's end"},
        {"GPT: both headers damaged", "sdb",
         [gpt_size](const std::string& image) {
             write_at(image, sector + 40, "x");
             write_at(image, gpt_size - sector + 40, "x");
         },
         {}, "the backup GPT is damaged too: its checksum is wrong: no partitions can be read"},
        {"GPT: the image cut off inside partition 3", "sdb",
         [&sdb3](const std::string& image) { fs::resize_file(image, sdb3.place.start_sector * sector + 4 * 1024 * 1024); },
         {1, 2, 3}, "partition 3 runs past the end of the image: clipped to 4194304 of its 25165824 bytes"},
        {"MBR: the last logical partition's table leads back to the first", "sdc",
         [first_sector_of](const std::string& image) {
             const std::uint64_t extended = first_sector_of(image, 0, 1);  // sfdisk's slot for it
             const std::uint64_t second = extended + first_sector_of(image, extended, 1);
             write_at(image, second * sector + 446 + 16, mbr_entry(0x05, 0, 2048));
         },
         {1, 5, 6}, "the chain of logical partitions leads back to sector"},
        {"MBR: a fourth primary past the end of the image", "sdc",
         [](const std::string& image) { write_at(image, 446 + 48, mbr_entry(0x83, 0xf0000000, 100)); }, {1, 5, 6},
         "partition 4 starts past the end of the image: left out"},
        {"MBR: a fourth primary over the first", "sdc",
         [&sdc1](const std::string& image) {
             write_at(image, 446 + 48, mbr_entry(0x83, static_cast<std::uint32_t>(sdc1.place.start_sector + 8), 100));
         },
         {1, 5, 6}, "partition 4 overlaps partition 1: left out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = place_disk(c.device);
        const std::string intact = kovox_listing(std::string(c.device) + ".img");
        c.damage(image);
        set_mtime(image, jan_02_2026);

        const tool_result tool = run_tool(work_, {"-s/dev/" + std::string(c.device), "/"});
        EXPECT_EQ(tool.status, 1);
        EXPECT_NE(tool.errors.find(c.message), std::string::npos) << tool.errors;
        EXPECT_EQ(tool.output.find("Disk space:"), std::string::npos) << tool.output;

        const std::string listing = kovox_listing(std::string(c.device) + ".img");
        std::vector<unsigned> listed;
        for (const std::string& line : root_lines(listing)) listed.push_back(static_cast<unsigned>(std::stoul(line.substr(46))));
        EXPECT_EQ(listed, c.listed);
        // What an intact partition holds is listed as before; partition 4 of the MBR cases is the
        // new one, and partition 3 of the cut image is what was cut.
        for (const unsigned number : {1u, 2u, 5u, 6u}) {
            if (std::find(listed.begin(), listed.end(), number) == listed.end()) continue;
            EXPECT_EQ(partition_lines(listing, number), partition_lines(intact, number)) << number;
        }
    }
}

}  // namespace
}  // namespace whole_program
