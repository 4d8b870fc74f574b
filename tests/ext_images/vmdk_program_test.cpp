// kovox and the stand-in tool over VMware disks that qemu-img writes from ext4 images, bare and
// on a partitioned disk: every layout, a child over its parent, and the disk inside an OVA. Each
// must list line for line as the raw image qemu-img converts it back to, and copy files out byte
// for byte; damaged and hostile files end with one message.
#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t grain = 64 * 1024;  // qemu-img's grain

std::string quoted(const std::string& path) { return "'" + path + "'"; }

void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
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

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

// Where a sparse extent's grain table entry for `grain_number` lies, through the directory at
// header offset `directory_field` (56 the primary, 48 the redundant one).
std::uint64_t table_entry_place(const std::string& bytes, std::size_t directory_field, std::uint64_t grain_number) {
    const std::uint64_t directory = le(bytes, directory_field, 8) * 512;
    const std::uint64_t table = le(bytes, static_cast<std::size_t>(directory + grain_number / 512 * 4), 4) * 512;
    return table + grain_number % 512 * 4;
}

// The first grain a streamOptimized extent holds: its marker's place.
std::uint64_t first_grain_marker(const std::string& bytes) {
    return le(bytes, static_cast<std::size_t>(table_entry_place(bytes, 56, 0)), 4) * 512;
}

// The embedded descriptor of a sparse extent rewritten by `edit`, in the same sectors.
void edit_descriptor(const std::string& path, const std::function<void(std::string&)>& edit) {
    const std::string bytes = contents_of(path);
    const std::uint64_t start = le(bytes, 28, 8) * 512;
    const std::size_t length = static_cast<std::size_t>(le(bytes, 36, 8) * 512);
    std::string text = bytes.substr(static_cast<std::size_t>(start), length);
    text.resize(text.find('\0'));
    edit(text);
    text.resize(length, '\0');
    write_at(path, start, text);
}

void replace_line(std::string& text, const std::string& key, const std::string& line) {
    const std::size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos) << key;
    text.replace(at, text.find('\n', at + 1) - at, line);
}

std::string cid_of(const std::string& path) {
    const std::string bytes = contents_of(path);
    const std::size_t at = bytes.find("\nCID=") + 5;
    return bytes.substr(at, bytes.find('\n', at) - at);
}

class VmdkDisks : public ::testing::Test {
protected:
    static void make_images() {
        work_ = fresh_folder("vmdk-" + std::to_string(getpid()));
        tree_maker tree(work_ + "/tree", 77);
        for (const char* folder : {"etc/conf.d", "usr/share/doc", "home/user/My Files"}) tree.folder(folder);
        for (int i = 0; i < 150; ++i) tree.file("etc/conf.d/f" + std::to_string(i), tree.random_size(9000));
        for (int i = 0; i < 20; ++i) tree.file("usr/share/doc/doc " + std::to_string(i), tree.random_size(200000));
        tree.file("home/user/My Files/big", 3 * 1024 * 1024 + 7);
        tree.sparse("home/user/sparse", 40 * 1024 * 1024 + 3);
        tree.set_times();
        const std::string mke2fs = "E2FSPROGS_FAKE_TIME=1600000000 " + mke2fs_program + " -q -F -t ext4 -d " + quoted(work_ + "/tree");
        run(mke2fs + " " + quoted(work_ + "/bare.raw") + " 40M");
        const std::string disk = work_ + "/disk.raw";
        std::ofstream(disk).close();
        fs::resize_file(disk, 48 * 1024 * 1024);
        write_file(work_ + "/script", "label: gpt\nstart=2048, size=40MiB, type=L\n");
        run(std::string(SFDISK_PROGRAM) + " -q " + quoted(disk) + " < " + quoted(work_ + "/script"));
        run(mke2fs + " -E offset=1048576 " + quoted(disk) + " 40960k");
        // The bare image changed: a folder and a file added, a file removed, for a child to hold.
        fs::copy_file(work_ + "/bare.raw", work_ + "/changed.raw");
        write_file(work_ + "/requests", "mkdir added\nwrite " + work_ + "/script added/script\nrm etc/conf.d/f7\n");
        run(debugfs_program + " -w -f " + quoted(work_ + "/requests") + " " + quoted(work_ + "/changed.raw"));
    }

    static void SetUpTestSuite() { make_images(); }
    static void TearDownTestSuite() { fs::remove_all(work_); }
    void SetUp() override { old_path_ = set_up_runs(work_, devices_, temp_); }
    void TearDown() override {
        set_environment("PATH", old_path_);
        set_environment("KOVO_IMAGE", "");
    }

    // `raw` converted by qemu-img into `subformat`, in a fresh folder of its own: the disk's file.
    static std::string converted(const std::string& raw, const std::string& subformat, const std::string& folder) {
        const std::string place = work_ + "/" + folder;
        fs::remove_all(place);
        fs::create_directories(place);
        run("qemu-img convert -f raw -O vmdk -o subformat=" + subformat + " " + quoted(raw) + " " + quoted(place + "/disk.vmdk"));
        return place + "/disk.vmdk";
    }

    // The files of the disk's folder put into the devices folder, the disk's own file as NAME.img.
    void place(const std::string& disk, const std::string& name) const {
        for (const auto& item : fs::directory_iterator(fs::path(disk).parent_path())) {
            const std::string target = item.path() == disk ? devices_ + "/" + name + ".img"
                                                            : devices_ + "/" + item.path().filename().string();
            fs::copy_file(item.path(), target, fs::copy_options::overwrite_existing);
        }
    }

    static std::string kovox_listing(const std::string& archive) {
        const run_result result = run_in(binary_directory(), "kovox", {archive});
        EXPECT_EQ(result.status, 0) << archive;
        return result.output;
    }

    // `name` lists as its raw image, qemu-img's conversion of the disk at `disk` (or `raw`, where
    // qemu-img does not read the disk), and every fifth regular file (every 15th under
    // Wine) copies out alike.
    void expect_as_raw(const std::string& disk, const std::string& name, const std::string& raw = "") {
        if (raw.empty()) {
            run("qemu-img convert -O raw " + quoted(disk) + " " + quoted(devices_ + "/oracle.img"));
        } else {
            fs::copy_file(raw, devices_ + "/oracle.img", fs::copy_options::overwrite_existing);
        }
        const std::string expected = kovox_listing("oracle.img");
        EXPECT_GT(lines_of(expected).size(), 150u);
        EXPECT_EQ(kovox_listing(name + ".img"), expected);
        std::size_t count = 0;
        for (const std::string& line : lines_of(expected)) {
            if (line.empty() || line[0] != '-' || line.size() <= 46 || count++ % copy_stride(5) != 0) continue;
            const std::string path = line.substr(46);
            for (const std::string& archive : {std::string("oracle.img"), name + ".img"}) {
                const std::string here = work_ + "/here-" + archive;
                fs::remove_all(here);
                fs::create_directories(here);
                EXPECT_EQ(run_in(here, "kovox", {"-READ", archive, path}).status, 0) << archive << " " << path;
            }
            EXPECT_EQ(contents_of(copied_file(work_ + "/here-" + name + ".img", path)),
                      contents_of(copied_file(work_ + "/here-oracle.img", path)))
                << name << " " << path;
        }
        EXPECT_GT(count, 20u);
    }

    // qemu-io's commands that write into a child the grains where the changed image differs.
    static std::string changed_grains() {
        const std::string before = contents_of(work_ + "/bare.raw");
        const std::string after = contents_of(work_ + "/changed.raw");
        EXPECT_EQ(before.size(), after.size());
        std::string writes;
        for (std::size_t at = 0; at < after.size(); at += grain) {
            const std::string piece = after.substr(at, grain);
            if (piece == before.substr(at, grain)) continue;
            const std::string file = work_ + "/grain-" + std::to_string(at);
            write_file(file, piece);
            writes += " -c " + quoted("write -s " + file + " " + std::to_string(at) + " " + std::to_string(piece.size()));
        }
        EXPECT_FALSE(writes.empty());
        return writes;
    }

    static std::string work_;
    std::string devices_, temp_, old_path_;
};

std::string VmdkDisks::work_;

const char* const subformats[] = {"monolithicSparse", "streamOptimized", "twoGbMaxExtentSparse", "monolithicFlat",
                                  "twoGbMaxExtentFlat"};

TEST_F(VmdkDisks, EveryLayoutListsAndCopiesOutAsItsRawImage) {
    for (const char* source : {"bare.raw", "disk.raw"}) {
        for (const char* subformat : subformats) {
            SCOPED_TRACE(std::string(source) + " as " + subformat);
            const std::string disk = converted(work_ + "/" + source, subformat, subformat);
            place(disk, "vm");
            expect_as_raw(disk, "vm");
        }
    }
}

// A child holds the grains where the changed image differs from its parent; the rest is the
// parent's, found by the name the child records, in the child's folder.
TEST_F(VmdkDisks, AChildReadsWhatItLacksFromItsParent) {
    converted(work_ + "/bare.raw", "monolithicSparse", "chain");
    const std::string child = work_ + "/chain/child.vmdk";
    run("cd " + quoted(work_ + "/chain") + " && qemu-img create -f vmdk -b disk.vmdk -F vmdk child.vmdk");
    run("qemu-io -f vmdk" + changed_grains() + " " + quoted(child));
    place(child, "vm");
    expect_as_raw(child, "vm");
    EXPECT_NE(kovox_listing("vm.img").find("added/script"), std::string::npos);
}

// A stream written front to back says in its header that the grain directory is at the end, and
// the footer, a copy of the header before the end-of-stream marker, says where.
TEST_F(VmdkDisks, AStreamFindsItsDirectoryThroughItsFooter) {
    const std::string disk = converted(work_ + "/disk.raw", "streamOptimized", "footer");
    std::string bytes = contents_of(disk);
    const std::string header = bytes.substr(0, 512);
    bytes.resize((bytes.size() - 512) / 512 * 512);  // without the end-of-stream marker
    std::string footer_marker = le_bytes(1, 8) + le_bytes(0, 4) + le_bytes(3, 4);
    footer_marker.resize(512, '\0');
    bytes += footer_marker + header + std::string(512, '\0');
    bytes.replace(56, 8, le_bytes(~std::uint64_t{0}, 8));
    write_file(disk, bytes);
    place(disk, "vm");
    expect_as_raw(disk, "vm");
}

// An OVA made by tar: the .ovf first, then the disk, stored as it is.
TEST_F(VmdkDisks, TheDiskInsideAnOvaListsAsItsRawImage) {
    const std::string disk = converted(work_ + "/disk.raw", "streamOptimized", "ova");
    fs::rename(disk, work_ + "/ova/appliance-disk1.vmdk");
    write_file(work_ + "/ova/appliance.ovf", "<?xml version=\"1.0\"?>\n<Envelope/>\n");
    run("cd " + quoted(work_ + "/ova") + " && tar --format=ustar -cf disk.vmdk appliance.ovf appliance-disk1.vmdk");
    place(disk, "vm");
    expect_as_raw(work_ + "/ova/appliance-disk1.vmdk", "vm");
}

// The redundant grain directory stands in where the primary one points outside the file (qemu-img
// reads no redundant directory: the image the disk was made from is the oracle); a disk that is
// several files opens as well through KOVO_IMAGE, by its own name.
TEST_F(VmdkDisks, TheRedundantDirectoryAndKovoImage) {
    const std::string disk = converted(work_ + "/bare.raw", "monolithicSparse", "redundant");
    const std::string bytes = contents_of(disk);
    write_at(disk, le(bytes, 56, 8) * 512, le_bytes(0x7fffffff, 4));
    place(disk, "vm");
    expect_as_raw(disk, "vm", work_ + "/bare.raw");

    const std::string split = converted(work_ + "/bare.raw", "twoGbMaxExtentSparse", "split");
    fs::copy_file(work_ + "/bare.raw", devices_ + "/raw.img");
    const tool_result raw = run_tool(work_, {"-s/dev/raw", "/etc/conf.d"});
    set_environment("KOVO_IMAGE", native_path(split));
    const tool_result named = run_tool(work_, {"-s/dev/anything", "/etc/conf.d"});
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(named.errors, "");
    EXPECT_EQ(named.output, raw.output);
}

// Each damaged or hostile disk ends with one message on the tool's standard error.
TEST_F(VmdkDisks, BadDisksEndWithOneMessage) {
    const auto with_descriptor = [](const std::string& text) {
        return [text](const std::string& disk) { write_file(disk, text); };
    };
    const std::string descriptor_head = "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\n";
    const struct {
        const char* name;
        const char* subformat;
        std::function<void(const std::string&)> damage;
        std::string message;
    } cases[] = {
        {"a grain table entry past the end", "monolithicSparse",
         [](const std::string& disk) {
             const std::string bytes = contents_of(disk);
             for (std::size_t directory : {56u, 48u}) write_at(disk, table_entry_place(bytes, directory, 0), le_bytes(0x7fffff00, 4));
         },
         "its grain table entry for sector 0 points past the end of the file"},
        {"both grain directories past the end", "monolithicSparse",
         [](const std::string& disk) {
             const std::string bytes = contents_of(disk);
             for (std::size_t directory : {56u, 48u}) write_at(disk, le(bytes, directory, 8) * 512, le_bytes(0x7fffff00, 4));
         },
         "its grain directory entry 0 points past the end of the file"},
        {"a grain that inflates past its size", "streamOptimized",
         [](const std::string& disk) {
             std::string zeros(2 * grain, '\0');
             uLongf length = compressBound(static_cast<uLong>(zeros.size()));
             std::string deflated(length, '\0');
             ASSERT_EQ(compress(reinterpret_cast<Bytef*>(&deflated[0]), &length,
                                reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uLong>(zeros.size())), Z_OK);
             deflated.resize(length);
             write_at(disk, first_grain_marker(contents_of(disk)), le_bytes(0, 8) + le_bytes(length, 4) + deflated);
         },
         "inflates past the grain's size"},
        {"a grain that does not inflate", "streamOptimized",
         [](const std::string& disk) { write_at(disk, first_grain_marker(contents_of(disk)) + 12, std::string(64, '\xff')); },
         "does not inflate"},
        // The stream is sound deflate, but its Adler-32 check (its last 4 bytes) is not its data's.
        // It fills the whole grain, so the message is the one of a stream that goes on past it.
        {"a grain whose check is wrong", "streamOptimized",
         [](const std::string& disk) {
             const std::string bytes = contents_of(disk);
             const std::size_t marker = first_grain_marker(bytes);
             const std::size_t check = marker + 12 + le(bytes, marker + 8, 4) - 4;
             std::string flipped = bytes.substr(check, 4);
             flipped[1] = static_cast<char>(flipped[1] ^ 0x40);
             write_at(disk, check, flipped);
         },
         "inflates past the grain's size"},
        {"a descriptor of 10 MB", "monolithicFlat",
         with_descriptor(descriptor_head + std::string(10 * 1024 * 1024, '#')),
         "bytes is larger than a VMDK descriptor can be"},
        {"an extent named outside the folder", "monolithicFlat",
         with_descriptor(descriptor_head + "RW 81920 FLAT \"../../x\" 0\n"),
         "the descriptor names the extent \"../../x\" outside its own folder"},
        {"an extent missing", "twoGbMaxExtentSparse",
         [](const std::string& disk) { fs::remove(fs::path(disk).parent_path() / "disk-s001.vmdk"); },
         "its extent \"disk-s001.vmdk\" is missing"},
        {"a flat extent cut short", "monolithicFlat",
         [](const std::string& disk) { fs::resize_file(fs::path(disk).parent_path() / "disk-flat.vmdk", 4096); },
         "the flat extent is shorter than the descriptor says"},
        {"a chain that loops", "monolithicSparse",
         [](const std::string& disk) {
             edit_descriptor(disk, [&](std::string& text) {
                 replace_line(text, "parentCID=", "parentCID=" + cid_of(disk));
                 text += "parentFileNameHint=\"bad.img\"\n";
             });
         },
         "a chain of more than 64 disks over their parents, or one that loops"},
        {"a parent of another CID", "monolithicSparse",
         [](const std::string& disk) {
             const std::string folder = fs::path(disk).parent_path().string();
             run("cd " + quoted(folder) + " && qemu-img create -f vmdk -b disk.vmdk -F vmdk child.vmdk");
             fs::rename(disk, folder + "/parent.vmdk");
             fs::rename(folder + "/child.vmdk", disk);
             edit_descriptor(folder + "/parent.vmdk", [](std::string& text) { replace_line(text, "\nCID=", "\nCID=0badc0de"); });
             edit_descriptor(disk, [](std::string& text) {
                 replace_line(text, "parentFileNameHint=", "parentFileNameHint=\"parent.vmdk\"");
             });
         },
         "is not the disk it was made from: the CIDs differ"},
        {"an absurd capacity", "monolithicSparse",
         [](const std::string& disk) { write_at(disk, 12, le_bytes(std::uint64_t{1} << 60, 8)); },
         "its capacity of 1152921504606846976 sectors is absurd"},
        {"a grain of three sectors", "monolithicSparse",
         [](const std::string& disk) { write_at(disk, 20, le_bytes(3, 8)); },
         "its grains of 3 sectors are of no size a grain has"},
        {"a file cut short", "monolithicSparse",
         [](const std::string& disk) { fs::resize_file(disk, 256 * 1024); },
         "points past the end of the file"},
        {"an ESX 2 sparse extent", "monolithicSparse",
         [](const std::string& disk) { write_at(disk, 0, "COWD"); },
         "it is an ESX 2 (COWD) sparse extent, which this tool does not read"},
        {"an OVA whose disk is compressed", "streamOptimized",
         [](const std::string& disk) {
             const std::string folder = fs::path(disk).parent_path().string();
             write_file(folder + "/a.ovf", "<Envelope/>\n");
             run("cd " + quoted(folder) + " && gzip -c disk.vmdk > a-disk1.vmdk && tar --format=ustar -cf disk.vmdk a.ovf a-disk1.vmdk && rm a-disk1.vmdk");
         },
         "the disk is compressed with gzip inside the OVA, which this tool does not read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string disk = converted(work_ + "/bare.raw", c.subformat, "bad");
        c.damage(disk);
        fs::remove_all(devices_);
        fs::create_directories(devices_);
        place(disk, "bad");
        const tool_result tool = run_tool(work_, {"-s/dev/bad", "/etc"});
        EXPECT_EQ(tool.status, 1);
        std::string errors = tool.errors;
        errors.erase(std::remove(errors.begin(), errors.end(), '\r'), errors.end());
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
    }
}

}  // namespace
}  // namespace whole_program
