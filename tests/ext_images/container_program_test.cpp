// kovox and the stand-in tool over the disk files of virtual machines: VHD and VHDX, fixed,
// dynamic and differencing, bare and partitioned, and a VHDX with its log still to replay. qemu-img
// writes what it can; a small writer of our own (virtual_disk_writer.py) writes the differencing
// disks and the log. The oracle is the raw image of each container (qemu-img convert -O raw, or the
// image the writer was given): each container must list exactly as it and copy files out byte for
// byte; damaged containers end with one message.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

const std::string qemu_img = QEMU_IMG_PROGRAM;
const std::string python = PYTHON_PROGRAM;
const std::string disk_writer = DISK_WRITER_SCRIPT;
const std::string sfdisk_program = SFDISK_PROGRAM;

// One container of the table: made from the bare or the partitioned image, by qemu-img with
// `options` (format first) or, with `writer` set, by our writer; `raw` is its oracle.
struct container_plan {
    const char* device;  // the name in the devices folder: <device>.img
    const char* source;  // "bare" or "disk"
    const char* options;
};

const container_plan qemu_containers[] = {
    {"vhd-dynamic", "bare", "vpc -o subformat=dynamic"},
    {"vhd-fixed", "bare", "vpc -o subformat=fixed"},
    {"vhd-dynamic-disk", "disk", "vpc -o subformat=dynamic"},
    {"vhd-fixed-disk", "disk", "vpc -o subformat=fixed"},
    {"vhdx-dynamic-1m", "bare", "vhdx -o subformat=dynamic,block_size=1M"},
    {"vhdx-dynamic-32m", "bare", "vhdx -o subformat=dynamic,block_size=32M"},
    {"vhdx-fixed", "bare", "vhdx -o subformat=fixed"},
    {"vhdx-dynamic-disk", "disk", "vhdx -o subformat=dynamic,block_size=1M"},
    {"vhdx-fixed-disk", "disk", "vhdx -o subformat=fixed,block_size=32M"},
};

std::string quoted(const std::string& text) { return "'" + text + "'"; }

bool run_shell(const std::string& command) {
    const bool done = std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    if (!done) ADD_FAILURE() << command;
    return done;
}

std::string read_at(const std::string& path, std::uint64_t offset, std::size_t count) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(count, '\0');
    file.read(&bytes[0], static_cast<std::streamsize>(count));
    return bytes;
}

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

std::uint64_t le(const std::string& bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

std::string le_bytes(std::uint64_t value, int width) {
    std::string bytes;
    for (int i = 0; i < width; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xff);
    return bytes;
}

// Where a VHDX region (by its GUID's first bytes as stored) starts, from the first region table.
std::uint64_t vhdx_region(const std::string& image, const std::string& id) {
    const std::string table = read_at(image, 192 * 1024, 64 * 1024);
    for (std::size_t i = 0; i < le(table, 8, 4); ++i) {
        if (table.compare(16 + 32 * i, id.size(), id) == 0) return le(table, 16 + 32 * i + 16, 8);
    }
    ADD_FAILURE() << "no such region in " << image;
    return 0;
}
const std::string bat_region("\x66\x77\xc2\x2d", 4);
const std::string metadata_region("\x06\xa2\x7c\x8b", 4);

// Where the value of a metadata item (by its GUID's first bytes) lies in the file.
std::uint64_t vhdx_item(const std::string& image, const std::string& id) {
    const std::uint64_t region = vhdx_region(image, metadata_region);
    const std::string table = read_at(image, region, 64 * 1024);
    for (std::size_t i = 0; i < le(table, 10, 2); ++i) {
        if (table.compare(32 + 32 * i, id.size(), id) == 0) return region + le(table, 32 + 32 * i + 16, 4);
    }
    ADD_FAILURE() << "no such metadata item in " << image;
    return 0;
}
const std::string file_parameters_item("\x37\x67\xa1\xca", 4);
const std::string virtual_size_item("\x24\x42\xa5\x2f", 4);

class Containers : public ::testing::Test {
protected:
    static bool prepare() {
        if (qemu_img.find("NOTFOUND") != std::string::npos || python.find("NOTFOUND") != std::string::npos) {
            ADD_FAILURE() << "qemu-img (Debian's qemu-utils) and python3 are needed to make the containers";
            return false;
        }
        work_ = fresh_folder("containers-" + std::to_string(getpid()));
        images_ = work_ + "/images";
        fs::create_directories(images_);
        const std::string tree = work_ + "/tree";
        tree_maker maker(tree, 77);
        for (const char* folder : {"etc/conf.d", "usr/share/doc", "home/me/My Documents"}) maker.folder(folder);
        for (int i = 0; i < 150; ++i) maker.file("etc/conf.d/f" + std::to_string(i) + ".conf", maker.random_size(9000));
        for (int i = 0; i < 20; ++i) maker.file("usr/share/doc/doc " + std::to_string(i), maker.random_size(300000));
        maker.file("home/me/My Documents/big.bin", 5 * 1024 * 1024 + 7);
        maker.sparse("home/me/sparse", 200 * 1024 * 1024 + 3);
        maker.set_times();
        for (const auto& item : fs::recursive_directory_iterator(tree)) {
            if (item.is_regular_file() && item.file_size() < 6 * 1024 * 1024) {
                files_.push_back(item.path().string().substr(tree.size()));
            }
        }
        std::sort(files_.begin(), files_.end());
        tree_ = tree;
        // The bare file system, and a GPT disk holding it in its one partition at 1 MiB.
        const std::string bare = images_ + "/bare.raw", disk = images_ + "/disk.raw";
        if (!run_shell("E2FSPROGS_FAKE_TIME=1700000000 " + mke2fs_program + " -q -F -t ext4 -d " + quoted(tree) + " " +
                       quoted(bare) + " 40M")) {
            return false;
        }
        std::ofstream(disk).close();
        fs::resize_file(disk, 48 * 1024 * 1024);
        write_file(work_ + "/script", "label: gpt\nstart=2048, size=40MiB, type=L\n");
        if (!run_shell(sfdisk_program + " -q " + quoted(disk) + " < " + quoted(work_ + "/script")) ||
            !run_shell("dd if=" + quoted(bare) + " of=" + quoted(disk) + " bs=1M seek=1 conv=notrunc")) {
            return false;
        }
        for (const container_plan& plan : qemu_containers) {
            const std::string made = images_ + "/" + plan.device;
            if (!run_shell(qemu_img + " convert -O " + plan.options + " " + quoted(images_ + "/" + plan.source + ".raw") +
                           " " + quoted(made)) ||
                !run_shell(qemu_img + " convert -O raw " + quoted(made) + " " + quoted(made + ".raw"))) {
                return false;
            }
            made_.push_back(plan.device);
        }
        return make_written_containers();
    }

    // The differencing disks over qemu-img's dynamic ones, a chain of two VHDX over one, and the
    // VHDX whose BAT is in its log. A child reads as the bare image with a file added and one gone.
    static bool make_written_containers() {
        const std::string changed = images_ + "/changed.raw";
        fs::copy_file(images_ + "/bare.raw", changed);
        write_file(work_ + "/added.txt", "written in the child\n");
        if (!run_shell(debugfs_program + " -w -R " + quoted("write " + work_ + "/added.txt added.txt") + " " + quoted(changed)) ||
            !run_shell(debugfs_program + " -w -R " + quoted("rm etc/conf.d/f3.conf") + " " + quoted(changed))) {
            return false;
        }
        const auto child = [&](const char* kind, const std::string& parent, const std::string& content,
                               const std::string& out, const std::string& relative) {
            // The parent's raw image, cut to its virtual size, is what the child stands on; the
            // child holds `content` cut or padded to that size.
            const std::string parent_raw = images_ + "/" + parent + ".raw", wanted = work_ + "/wanted.raw";
            fs::copy_file(content, wanted, fs::copy_options::overwrite_existing);
            fs::resize_file(wanted, fs::file_size(parent_raw));
            return run_shell(python + " " + quoted(disk_writer) + " " + kind + " " + quoted(images_ + "/" + parent) + " " +
                             quoted(parent_raw) + " " + quoted(wanted) + " " + quoted(images_ + "/" + out) + " " +
                             quoted(relative) + " 'C:\\Users\\me\\VMs\\" + parent + "'") &&
                   run_shell("cp " + quoted(wanted) + " " + quoted(images_ + "/" + out + ".raw"));
        };
        // The VHD child records "..\\elsewhere\\vhd-dynamic", which is not there: its parent is
        // found by its name beside it, as for a disk copied from another machine.
        if (!child("vhd-child", "vhd-dynamic", changed, "vhd-child", "..\\elsewhere\\vhd-dynamic") ||
            !child("vhdx-child", "vhdx-dynamic-1m", changed, "vhdx-child", ".\\vhdx-dynamic-1m") ||
            !child("vhdx-child", "vhdx-child", images_ + "/bare.raw", "vhdx-grandchild", "vhdx-child") ||
            !run_shell(python + " " + quoted(disk_writer) + " vhdx-log " + quoted(images_ + "/vhdx-dynamic-1m") + " " +
                       quoted(images_ + "/vhdx-log")) ||
            !run_shell("cp " + quoted(images_ + "/vhdx-dynamic-1m.raw") + " " + quoted(images_ + "/vhdx-log.raw"))) {
            return false;
        }
        for (const char* written : {"vhd-child", "vhdx-child", "vhdx-grandchild", "vhdx-log"}) made_.push_back(written);
        return true;
    }

    static void TearDownTestSuite() { fs::remove_all(work_); }

    void SetUp() override {
        static const bool prepared = prepare();
        ASSERT_TRUE(prepared);
        old_path_ = set_up_runs(work_, devices_, temp_);
        // The devices folder links to each container and to its oracle, as kovox-image links a
        // file it is given; parents are found beside the file a link leads to.
        for (const std::string& device : made_) {
            fs::create_symlink(images_ + "/" + device, devices_ + "/" + device + ".img");
            fs::create_symlink(images_ + "/" + device + ".raw", devices_ + "/" + device + "-raw.img");
            // Wine shows a link as the file it leads to, with the link's own path: there the
            // parents must stand beside the links too.
            if (on_windows()) fs::create_symlink(images_ + "/" + device, devices_ + "/" + device);
        }
    }
    void TearDown() override { set_environment("PATH", old_path_); }

    static std::string kovox_listing(const std::string& device) {
        const run_result result = run_in(binary_directory(), "kovox", {device + ".img"});
        EXPECT_EQ(result.status, 0) << device;
        return with_line_feeds(result.output);
    }

    // A copy of a container in the devices folder of its own, for a test to damage.
    std::string damageable(const std::string& device, const std::string& name) const {
        const std::string copy = devices_ + "/" + name + ".img";
        fs::copy_file(images_ + "/" + device, copy);
        return copy;
    }

    static std::string work_, images_, tree_;
    static std::vector<std::string> made_, files_;
    std::string devices_, temp_, old_path_;
};

std::string Containers::work_, Containers::images_, Containers::tree_;
std::vector<std::string> Containers::made_, Containers::files_;

TEST_F(Containers, EachListsAsItsRawImage) {
    for (const std::string& device : made_) {
        SCOPED_TRACE(device);
        const std::string listing = kovox_listing(device);
        EXPECT_GT(lines_of(listing).size(), 150u);
        const std::vector<std::string> lines = lines_of(listing), expected = lines_of(once_per_image(
            devices_ + "/" + device + "-raw.img", [&device] { return kovox_listing(device + "-raw"); }));
        EXPECT_EQ(lines, expected);
    }
}

TEST_F(Containers, EachCopiesFilesOutByteForByte) {
    const std::string here = work_ + "/here";
    for (const std::string& device : made_) {
        SCOPED_TRACE(device);
        const bool partitioned = device.find("-disk") != std::string::npos;
        for (std::size_t i = 0; i < files_.size(); i += copy_stride(17)) {
            if (device.find("child") != std::string::npos && files_[i] == "/etc/conf.d/f3.conf") continue;
            fs::remove_all(here);
            fs::create_directories(here);
            const std::string path = (partitioned ? "/1" : "") + files_[i];
            EXPECT_EQ(run_in(here, "kovox", {"-READ", device + ".img", as_asked_for(path, i)}).status, 0);
            const std::string local = copied_file(here, path);
            EXPECT_TRUE(fs::exists(local) && contents_of(local) == contents_of(tree_ + files_[i])) << path;
        }
    }
    // What only the children hold.
    for (const char* device : {"vhd-child", "vhdx-child"}) {
        fs::remove_all(here);
        fs::create_directories(here);
        EXPECT_EQ(run_in(here, "kovox", {"-READ", std::string(device) + ".img", "/added.txt"}).status, 0);
        EXPECT_EQ(contents_of(here + "/added.txt"), "written in the child\n") << device;
    }
}

// WSL2 keeps each distribution as a dynamic VHDX of 1 MiB blocks named ext4.vhdx, with no partition
// table; a file manager hands the tool the file itself.
TEST_F(Containers, AWsl2DiskOpensWhereWindowsKeepsIt) {
    const std::string folder = work_ + "/Packages/Distribution/LocalState";
    fs::create_directories(folder);
    fs::copy_file(images_ + "/vhdx-dynamic-1m", folder + "/ext4.vhdx", fs::copy_options::overwrite_existing);
    set_environment("KOVO_IMAGE", folder + "/ext4.vhdx");
    const tool_result direct = run_tool(work_, {"-s/dev/ext4", "/etc/conf.d"});
    set_environment("KOVO_IMAGE", "");
    const tool_result oracle = run_tool(work_, {"-s/dev/vhdx-dynamic-1m-raw", "/etc/conf.d"});
    EXPECT_EQ(direct.status, 0);
    EXPECT_EQ(direct.errors, "");
    EXPECT_EQ(direct.output, oracle.output);
    EXPECT_GT(lines_of(direct.output).size(), 150u);
}

// Each damaged or incomplete container ends with one message on the tool's standard error, naming
// the file.
TEST_F(Containers, DamagedContainersEndWithOneMessage) {
    const struct {
        const char* name;
        const char* device;
        std::function<void(const std::string&)> damage;
        const char* message;
    } cases[] = {
        {"VHDX: both headers' checksums wrong", "vhdx-dynamic-1m",
         [](const std::string& image) {
             write_at(image, 64 * 1024 + 4, "xx");
             write_at(image, 128 * 1024 + 4, "xx");
         },
         "neither of its headers is valid"},
        {"VHDX: a block size of 3 MiB", "vhdx-dynamic-1m",
         [](const std::string& image) { write_at(image, vhdx_item(image, file_parameters_item), le_bytes(3 << 20, 4)); },
         "its block size, 3145728, is not a power of two from 1 MiB to 256 MiB"},
        {"VHDX: a virtual size beyond its BAT", "vhdx-dynamic-1m",
         [](const std::string& image) { write_at(image, vhdx_item(image, virtual_size_item), le_bytes(std::uint64_t{1} << 40, 8)); },
         "its virtual disk size is more than its BAT can map"},
        {"VHDX: block 0 past the end of the file", "vhdx-dynamic-1m",
         [](const std::string& image) { write_at(image, vhdx_region(image, bat_region), le_bytes((std::uint64_t{1} << 40) | 6, 8)); },
         "block 0 lies past the end of the file"},
        {"VHDX: block 0 over the headers", "vhdx-dynamic-1m",
         [](const std::string& image) { write_at(image, vhdx_region(image, bat_region), le_bytes(6, 8)); },
         "block 0 overlaps the headers or a region"},
        {"VHDX: cut off inside its metadata", "vhdx-dynamic-1m",
         [](const std::string& image) { fs::resize_file(image, vhdx_region(image, metadata_region) + 4096); },
         "region lies outside the file"},
        // The log's second entry broken: replay stops before it, so the first entry's page of
        // garbage stays in the BAT.
        {"VHDX: the log's second entry with a bad checksum", "vhdx-log",
         [](const std::string& image) {
             const std::string header = read_at(image, 64 * 1024, 4096);
             const std::uint64_t log = le(header, 72, 8);
             write_at(image, log + le(read_at(image, log, 64), 8, 4) + 100, "broken");
         },
         "block 0 has an unknown state in the BAT"},
        {"VHD: the dynamic header's checksum wrong", "vhd-dynamic",
         [](const std::string& image) { write_at(image, 512 + 36, "xx"); }, "its dynamic header is damaged"},
        {"VHD: block 0 past the end of the file", "vhd-dynamic",
         [](const std::string& image) { write_at(image, 1536, "\x7f\xff\xff\xf0"); }, "block 0 lies past the end of the file"},
        {"VHD: its parent missing", "vhd-child", [](const std::string&) {}, "its parent disk is not found: looked for"},
        {"VHDX: its parent written since", "vhdx-child",
         [](const std::string&) {}, "is not its parent: it was written since"},
    };
    // The VHD child is copied alone; the VHDX child beside another VHDX under its parent's name.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = damageable(c.device, "damaged");
        // Under Wine the parents' links stand in the devices folder too (see SetUp): the missing
        // parent must be missing there, and the stand-in parent must replace the link, not be
        // copied through it onto the real parent.
        fs::remove(devices_ + "/vhd-dynamic");
        fs::remove(devices_ + "/vhdx-dynamic-1m");
        if (std::string(c.device) == "vhdx-child") {
            fs::copy_file(images_ + "/vhdx-dynamic-32m", devices_ + "/vhdx-dynamic-1m");
        }
        c.damage(image);
        const tool_result tool = run_tool(work_, {"-s/dev/damaged", "/etc/conf.d"});
        EXPECT_EQ(tool.status, 1);
        EXPECT_EQ(tool.output, "");
        const std::string errors = with_line_feeds(tool.errors);
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
        EXPECT_NE(errors.find("damaged.img"), std::string::npos) << errors;
        fs::remove(image);
        fs::remove(devices_ + "/vhdx-dynamic-1m");
    }
}


// While WSL2 or Hyper-V runs, Windows holds the machine's VHDX open and shares it with no one: the
// tool says so in one line, and how to stop the machine. Under Wine a small program holds the file.
TEST_F(Containers, AVhdxHeldByARunningMachineSaysHowToStopIt) {
    if (!on_windows()) GTEST_SKIP() << "Windows builds only: Linux shares every file it opens";
    const std::string image = images_ + "/vhdx-dynamic-1m", held = work_ + "/held", release = work_ + "/release";
    fs::remove(held);
    fs::remove(release);
    const std::vector<std::string> command =
        program_command(work_, "hold_file_open.exe", {"Z:" + image, "Z:" + held, "Z:" + release});
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const pid_t holder = fork();
    if (holder == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    ASSERT_GT(holder, 0);
    for (int waited = 0; waited < 600 && !fs::exists(held); ++waited) usleep(100 * 1000);
    EXPECT_TRUE(fs::exists(held)) << "the holding program did not open the file";
    const tool_result tool = run_tool(work_, {"-s/dev/vhdx-dynamic-1m", "/"});
    write_file(release, "");
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_EQ(tool.status, 1);
    EXPECT_EQ(tool.output, "");
    const std::string errors = with_line_feeds(tool.errors);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_NE(errors.find("the file is in use by a running virtual machine: stop it first (wsl --shutdown for WSL2"),
              std::string::npos)
        << errors;
}

}  // namespace
}  // namespace whole_program
