// kovox and the stand-in tool over QCOW2 images that qemu-img and qemu-io write from ext4 images
// made here, bare and partitioned: compressed, with subclusters, an external data file, version
// 2, over backing files and in chains. The oracle is qemu-img's own raw conversion of each image:
// kovox must list the image exactly as it lists that raw image, and copy files out of it as
// debugfs dumps them from it. Damaged and unreadable images end with one message.
#include <gtest/gtest.h>

#include <zlib.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

const std::string sfdisk_program = SFDISK_PROGRAM;
// The independent writer of every image here, and the oracle's converter.
const std::map<std::string, std::string> qemu_programs = {{"qemu-img", QEMU_IMG_PROGRAM}, {"qemu-io", QEMU_IO_PROGRAM}};
constexpr std::int64_t images_time = 1767323045;
constexpr std::uint64_t disk_partition_start = 1024 * 1024;

// A small system's tree; `variant` adds and changes files, so that images made from the trees
// differ in some clusters and agree in others.
void make_tree(const std::string& root, std::uint32_t seed, int variant) {
    tree_maker tree(root, seed);
    for (const char* folder : {"etc/conf.d", "usr/share/doc", "var/log", "home/user/My Documents"}) tree.folder(folder);
    for (int i = 0; i < 150; ++i) tree.file("etc/conf.d/file-" + std::to_string(i), tree.random_size(9000));
    for (int i = 0; i < 20; ++i) tree.file("usr/share/doc/page " + std::to_string(i), tree.random_size(200000));
    for (int i = 0; i < 10 * variant; ++i) tree.file("home/user/added-" + std::to_string(variant) + "-" + std::to_string(i), 7000);
    tree.file("var/log/big.log", 1024 * 1024 + 3 + static_cast<std::size_t>(variant));
    tree.file("home/user/My Documents/caf\xc3\xa9.txt", 33);
    tree.sparse("var/log/sparse", 200 * 1024 * 1024 + 5);
    fs::create_symlink("../etc", root + "/var/etc");
    tree.set_times();
}

void run_shell(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::uint64_t be64(const std::string& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::string be64_bytes(std::uint64_t value) {
    std::string bytes(8, '\0');
    for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<char>(value >> (56 - 8 * i));
    return bytes;
}

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

void set_mtime(const std::string& path) {
    const struct timespec times[2] = {{images_time, 0}, {images_time, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Where an image's header, L1 table and the L2 entry of its first cluster are.
struct qcow2_places {
    std::string header;
    std::uint64_t l1 = 0;
    std::uint64_t l2 = 0;        // the first L2 table
    std::uint64_t entry = 0;     // the first L2 entry's value
};

qcow2_places places_of(const std::string& image) {
    qcow2_places places;
    const std::string bytes = contents_of(image);
    places.header = bytes.substr(0, 112);
    places.l1 = be64(bytes, 40);
    places.l2 = be64(bytes, static_cast<std::size_t>(places.l1)) & 0x00fffffffffffe00u;
    places.entry = be64(bytes, static_cast<std::size_t>(places.l2));
    return places;
}

// A raw deflate stream, as the format's writers make one, of `size` zero bytes.
std::string deflated_zeros(std::size_t size) {
    std::string input(size, '\0');
    std::string output(size + 1024, '\0');
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, -12, 9, Z_DEFAULT_STRATEGY), Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(&input[0]);
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(&output[0]);
    stream.avail_out = static_cast<uInt>(output.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

// One way of writing an image. `make` runs in the devices folder, where the raw images are;
// "{out}" stands for the image it writes, "{hit}" for a file's data in base.raw ("{hit_inside}"
// 10 KiB into it, inside a subcluster), "{disk_hit}" for the same data in the partition of
// disk.raw, "{third_hit}" for a file's data in third.raw.
struct image_plan {
    const char* name;
    const char* make;
    bool partitioned;
};

const image_plan plans[] = {
    {"plain", "qemu-img convert -O qcow2 base.raw {out}", false},
    {"zlib", "qemu-img convert -c -O qcow2 base.raw {out}", false},
    {"zstd", "qemu-img convert -c -O qcow2 -o compression_type=zstd base.raw {out}", false},
    {"subclusters", "qemu-img convert -O qcow2 -o extended_l2=on base.raw {out}", false},
    {"datafile", "qemu-img convert -O qcow2 -o data_file=datafile.data base.raw {out}", false},
    {"version2", "qemu-img convert -O qcow2 -o compat=0.10 base.raw {out}", false},
    {"overraw",
     "qemu-img create -q -f qcow2 -b base.raw -F raw {out} && qemu-io -c 'write -q -P 0x5a {hit} 65536' {out}", false},
    {"overqcow2",
     "qemu-img convert -O qcow2 base.raw overqcow2-base.qcow2 && "
     "qemu-img convert -O qcow2 -B overqcow2-base.qcow2 -F qcow2 changed.raw {out}",
     false},
    {"chain",
     "qemu-img convert -O qcow2 -B base.raw -F raw changed.raw chain-mid.qcow2 && "
     "qemu-img convert -c -O qcow2 -B chain-mid.qcow2 -F qcow2 third.raw {out} && "
     "qemu-io -c 'write -q -P 0x5a {third_hit} 8192' {out}",
     false},
    {"suboverlay",
     "qemu-img create -q -f qcow2 -o extended_l2=on -b base.raw -F raw {out} && "
     "qemu-io -c 'write -q -P 0x5a {hit} 4096' -c 'write -q -P 0xa5 {hit_inside} 2048' {out}",
     false},
    // The image's own size over a backing file of another: zeros past a shorter one, a longer one cut.
    {"longer", "qemu-img create -q -f qcow2 -b base.raw -F raw {out} 64M && qemu-io -c 'write -q -P 0x5a 60M 4096' {out}",
     false},
    {"shorter", "qemu-img create -q -f qcow2 -b disk.raw -F raw {out} 44M", true},
    {"diskplain", "qemu-img convert -O qcow2 disk.raw {out}", true},
    {"diskzstd", "qemu-img convert -c -O qcow2 -o compression_type=zstd disk.raw {out}", true},
    {"diskoverlay",
     "qemu-img create -q -f qcow2 -b disk.raw -F raw {out} && qemu-io -c 'write -q -P 0x5a {disk_hit} 65536' {out}", true},
    // QCOW version 1 (qemu-img -O qcow): 4 KiB clusters, or 512 bytes over a backing file; qemu
    // compresses over a backing file only one cluster at a time, as qemu-io writes them here.
    // qemu-img convert -c -O qcow ends with status 1 and no message once it has written the
    // whole image (the version 1 driver refuses the empty compressed write that marks the end),
    // so such an image is taken when qemu-img finds it identical to its source.
    {"v1plain", "qemu-img convert -O qcow base.raw {out}", false},
    {"v1zlib", "qemu-img convert -c -O qcow base.raw {out} || qemu-img compare -q -f raw -F qcow base.raw {out}", false},
    {"v1overraw",
     "qemu-img create -q -f qcow -b base.raw -F raw {out} && qemu-io -c 'write -q -P 0x5a {hit} 65536' {out}", false},
    {"v1zlibover",
     "qemu-img create -q -f qcow -b base.raw -F raw {out} && "
     "qemu-io -c 'write -c -q -P 0x5a {hit} 512' -c 'write -c -q -P 0xa5 {hit_inside} 512' {out}",
     false},
    {"v1overv1",
     "(qemu-img convert -c -O qcow base.raw v1overv1-base.qcow || "
     "qemu-img compare -q -f raw -F qcow base.raw v1overv1-base.qcow) && "
     "qemu-img convert -O qcow -B v1overv1-base.qcow -F qcow changed.raw {out}",
     false},
    {"v1overqcow2",
     "qemu-img convert -c -O qcow2 base.raw v1overqcow2-base.qcow2 && "
     "qemu-img convert -O qcow -B v1overqcow2-base.qcow2 -F qcow2 changed.raw {out}",
     false},
    {"overv1",
     "qemu-img convert -O qcow base.raw overv1-base.qcow && qemu-img convert -O qcow2 -B overv1-base.qcow -F qcow changed.raw {out}",
     false},
    {"v1disk", "qemu-img convert -O qcow disk.raw {out}", true},
    {"v1diskzlib", "qemu-img convert -c -O qcow disk.raw {out} || qemu-img compare -q -f raw -F qcow disk.raw {out}", true},
    {"v1diskoverlay",
     "qemu-img create -q -f qcow -b disk.raw -F raw {out} && qemu-io -c 'write -q -P 0x5a {disk_hit} 65536' {out}", true},
};

std::string substituted(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [key, value] : values) {
        for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
            text.replace(at, key.size(), value);
        }
    }
    return text;
}

class Qcow2Images : public ::testing::Test {
protected:
    static bool prepare() {
        work_ = fresh_folder("qcow2-" + std::to_string(getpid()));
        inputs_ = work_ + "/inputs";
        fs::create_directories(inputs_);
        // The trees' file systems; changed.raw and third.raw are base.raw's tree with more files.
        const struct {
            const char* image;
            int variant;
        } trees[] = {{"base.raw", 0}, {"changed.raw", 1}, {"third.raw", 2}};
        for (const auto& made : trees) {
            const std::string tree = work_ + "/tree-" + made.image;
            make_tree(tree, 7, made.variant);
            run_shell("E2FSPROGS_FAKE_TIME=1700000000 " + mke2fs_program + " -q -F -t ext4 -b 4096 -d '" + tree + "' '" +
                      inputs_ + "/" + made.image + "' 40M >/dev/null 2>&1");
        }
        // A GPT disk whose first partition holds the base tree's file system.
        const std::string disk = inputs_ + "/disk.raw";
        std::ofstream(disk).close();
        fs::resize_file(disk, 48 * 1024 * 1024);
        write_file(work_ + "/script", "label: gpt\nstart=2048, size=40MiB, type=L\n");
        run_shell(sfdisk_program + " -q '" + disk + "' < '" + work_ + "/script' >/dev/null 2>&1");
        run_shell("E2FSPROGS_FAKE_TIME=1700000000 " + mke2fs_program + " -q -F -t ext4 -b 4096 -E offset=" +
                  std::to_string(disk_partition_start) + " -d '" + work_ + "/tree-base.raw' '" + disk + "' 40M >/dev/null 2>&1");
        values_ = qemu_programs;
        values_["{hit}"] = std::to_string(data_offset(inputs_ + "/base.raw", "/var/log/big.log"));
        values_["{hit_inside}"] = std::to_string(std::stoull(values_["{hit}"]) + 10240);
        values_["{third_hit}"] = std::to_string(data_offset(inputs_ + "/third.raw", "/var/log/big.log"));
        values_["{disk_hit}"] = std::to_string(disk_partition_start + data_offset(inputs_ + "/base.raw", "/var/log/big.log"));
        return !::testing::Test::HasFailure();
    }

    // The byte offset of a file's second block in an image: data, away from any metadata.
    static std::uint64_t data_offset(const std::string& image, const std::string& path) {
        const auto answers = ask_debugfs(image, {"bmap \"" + path + "\" 1"}, work_);
        EXPECT_FALSE(answers.empty() || answers[0].empty()) << image;
        return answers.empty() || answers[0].empty() ? 0 : std::stoull(answers[0].back()) * 4096;
    }

    static void TearDownTestSuite() { fs::remove_all(work_); }

    void SetUp() override {
        static const bool prepared = prepare();
        ASSERT_TRUE(prepared);
        old_path_ = set_up_runs(work_, devices_, temp_);
        for (const auto& item : fs::directory_iterator(inputs_)) {
            fs::copy_file(item.path(), devices_ + "/" + item.path().filename().string());
        }
    }
    void TearDown() override { set_environment("PATH", old_path_); }

    // Writes the image of `plan` as NAME.img in the devices folder, and its raw conversion, the
    // oracle, as NAME-raw.img.
    void make(const image_plan& plan) const {
        std::map<std::string, std::string> values = values_;
        values["{out}"] = std::string(plan.name) + ".img";
        run_shell("cd '" + devices_ + "' && (" + substituted(plan.make, values) + ") >/dev/null");
        run_shell(substituted("cd '" + devices_ + "' && qemu-img convert -O raw " + plan.name + ".img " + plan.name + "-raw.img",
                              qemu_programs));
        set_mtime(devices_ + "/" + plan.name + ".img");
        set_mtime(devices_ + "/" + plan.name + "-raw.img");
    }

    static std::string kovox_listing(const std::string& archive) {
        const run_result result = run_in(binary_directory(), "kovox", {archive});
        EXPECT_EQ(result.status, 0) << archive;
        return result.output;
    }

    // The tool's one line on standard error for `device`, which must end in `message`.
    static void expect_one_message(const std::string& device, const std::string& message) {
        const tool_result tool = run_tool(work_, {"-s/dev/" + device, "/"});
        EXPECT_EQ(tool.status, 1);
        std::string errors = tool.errors;
        for (std::size_t at = errors.find('\r'); at != std::string::npos; at = errors.find('\r')) errors.erase(at, 1);
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_NE(errors.find(message), std::string::npos) << errors;
    }

    static std::string work_, inputs_;
    static std::map<std::string, std::string> values_;
    std::string devices_, temp_, old_path_;
};

std::string Qcow2Images::work_;
std::string Qcow2Images::inputs_;
std::map<std::string, std::string> Qcow2Images::values_;

TEST_F(Qcow2Images, EachListsAndCopiesOutAsItsRawConversion) {
    const std::string here = work_ + "/here";
    for (const image_plan& plan : plans) {
        SCOPED_TRACE(plan.name);
        make(plan);
        const std::string name = plan.name;
        const std::string listing = kovox_listing(name + ".img");
        EXPECT_GT(lines_of(listing).size(), 150u);
        const std::string oracle = devices_ + "/" + name + "-raw.img";
        EXPECT_EQ(listing, once_per_image(oracle, [&name] { return kovox_listing(name + "-raw.img"); }));

        // Files as debugfs dumps them from the oracle's file system: every ninth (27th under Wine),
        // and the one
        // qemu-io wrote into.
        const std::string bare = work_ + "/oracle-bare.img";
        if (plan.partitioned) {
            run_shell("dd if='" + devices_ + "/" + name + "-raw.img' of='" + bare + "' bs=1M skip=1 count=40 status=none");
        } else {
            fs::copy_file(devices_ + "/" + name + "-raw.img", bare, fs::copy_options::overwrite_existing);
        }
        std::vector<std::string> files{"/var/log/big.log"};
        std::size_t counted = 0;
        for (const auto& [folder, entries] : debugfs_listings(bare, work_)) {
            for (const image_entry& entry : entries) {
                if (is_regular(entry) && entry.size <= 2 * 1024 * 1024 && counted++ % copy_stride(9) == 0) {
                    files.push_back(folder + entry.name);
                }
            }
        }
        const std::string dumped = work_ + "/dumped";
        fs::remove_all(dumped);
        fs::create_directories(dumped);
        std::vector<std::string> requests;
        for (std::size_t i = 0; i < files.size(); ++i) {
            requests.push_back("dump \"" + files[i] + "\" \"" + dumped + "/" + std::to_string(i) + "\"");
        }
        ask_debugfs(bare, requests, work_);
        for (std::size_t i = 0; i < files.size(); ++i) {
            fs::remove_all(here);
            fs::create_directories(here);
            const std::string path = (plan.partitioned ? "/1" : "") + files[i];
            EXPECT_EQ(run_in(here, "kovox", {"-READ", name + ".img", path}).status, 0) << path;
            const std::string local = copied_file(here, files[i]);
            EXPECT_TRUE(fs::exists(local) && contents_of(local) == contents_of(dumped + "/" + std::to_string(i))) << path;
        }
    }
}

// A listing run keeps the clusters it inflates for the runs after it, and they are read again only
// for the same state of the same image: an image written over in place with one that differs in
// one cluster, its time set back as it was, lists as what it holds now. A copy keeps nothing.
TEST_F(Qcow2Images, InflatedClustersKeptForTheNextRunServeOnlyTheSameImage) {
    make(plans[1]);  // zlib.img
    // The same tree with one name changed for another as long: one directory's cluster differs,
    // and where it lies and how long it is compressed stay as they were.
    run_shell("cd '" + devices_ + "' && cp base.raw renamed.raw && " + debugfs_program +
              " -w -R 'ln /var/log/big.log /var/log/bog.log' renamed.raw >/dev/null 2>&1 && " + debugfs_program +
              " -w -R 'unlink /var/log/big.log' renamed.raw >/dev/null 2>&1");
    make({"zlibchanged", "qemu-img convert -c -O qcow2 renamed.raw {out}", false});
    const std::string store = work_ + "/store";
    fs::remove_all(store);
    set_environment("KOVO_CACHE", native_path(store));
    const auto stored = [&store] {
        return fs::exists(store) ? std::distance(fs::directory_iterator(store), fs::directory_iterator{}) : 0;
    };
    const std::string here = work_ + "/here";
    fs::remove_all(here);
    fs::create_directories(here);
    // An image changed in the last two seconds is not kept: a change within the same tick of the
    // file system's clock would not show in its times.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(run_in(here, "kovox", {"-READ", "zlib.img", "/var/log/big.log"}).status, 0);
    EXPECT_EQ(stored(), 0);

    const std::string listing = kovox_listing("zlib.img");
    EXPECT_EQ(listing, kovox_listing("zlib-raw.img"));
    const auto kept = stored();
    EXPECT_GT(kept, 0);
    EXPECT_EQ(kovox_listing("zlib.img"), listing);
    EXPECT_EQ(stored(), kept);

    const std::string image = devices_ + "/zlib.img";
    const std::string changed = contents_of(devices_ + "/zlibchanged.img");
    std::ofstream(image, std::ios::binary | std::ios::trunc) << changed;  // the same file, written over
    set_mtime(image);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    const std::string changed_listing = kovox_listing("zlib.img");
    EXPECT_TRUE(changed_listing.find("var/log/bog.log") != std::string::npos &&
                changed_listing == kovox_listing("zlibchanged-raw.img"))
        << "the image written over lists as it was";
    set_environment("KOVO_CACHE", "");
}

// Every damaged or unreadable image ends with one message that says what is wrong.
TEST_F(Qcow2Images, WhatCannotBeReadSaysSoInOneMessage) {
    make(plans[0]);  // plain.img
    make(plans[1]);  // zlib.img
    const qcow2_places plain = places_of(devices_ + "/plain.img");
    const qcow2_places zlib = places_of(devices_ + "/zlib.img");
    const std::uint64_t compressed_at = zlib.entry & ((std::uint64_t{1} << 54) - 1);
    // Version 1: an L1 entry is the L2 table's offset; a compressed L2 entry (bit 63) has its
    // length above bit 51 and its offset below, with 4 KiB clusters.
    for (const image_plan& plan : plans) {
        if (std::string(plan.name) == "v1plain" || std::string(plan.name) == "v1zlib") make(plan);
    }
    const std::string v1plain_bytes = contents_of(devices_ + "/v1plain.img");
    const std::uint64_t v1plain_l2 = be64(v1plain_bytes, static_cast<std::size_t>(be64(v1plain_bytes, 40)));
    const std::string v1zlib_bytes = contents_of(devices_ + "/v1zlib.img");
    const std::uint64_t v1zlib_l2 = be64(v1zlib_bytes, static_cast<std::size_t>(be64(v1zlib_bytes, 40)));
    const std::uint64_t v1zlib_entry = be64(v1zlib_bytes, static_cast<std::size_t>(v1zlib_l2));
    const std::uint64_t v1_compressed_at = v1zlib_entry & ((std::uint64_t{1} << 51) - 1);
    EXPECT_NE(v1zlib_entry >> 63, 0u) << "the first cluster of v1zlib.img is not compressed";
    const struct {
        const char* name;
        const char* source;
        std::function<void(const std::string&)> damage;
        const char* message;
    } cases[] = {
        {"an L2 entry past the end", "plain",
         [&](const std::string& image) { write_at(image, plain.l2, be64_bytes((plain.entry & ~0x00fffffffffffe00u) | (std::uint64_t{1} << 40))); },
         "lies past the end of the file"},
        {"an L1 entry past the end", "plain",
         [&](const std::string& image) { write_at(image, plain.l1, be64_bytes(std::uint64_t{1} << 44)); },
         "its L2 table at 17592186044416 lies past the end"},
        {"a cluster that does not inflate", "zlib",
         [&](const std::string& image) { write_at(image, compressed_at, std::string(64, '\xff')); },
         "a compressed cluster does not inflate to a whole cluster"},
        {"a cluster that inflates past its size", "zlib",
         [&](const std::string& image) { write_at(image, compressed_at, deflated_zeros(65536 + 4096)); },
         "a compressed cluster inflates past its cluster size"},
        {"an absurd virtual size", "plain",
         [](const std::string& image) { write_at(image, 24, be64_bytes(std::uint64_t{1} << 63)); }, "is absurd"},
        {"a virtual size its L1 table cannot map", "plain",
         [](const std::string& image) { write_at(image, 24, be64_bytes(std::uint64_t{1} << 50)); },
         "maps less than its virtual size"},
        {"absurd clusters", "plain", [](const std::string& image) { write_at(image, 20, std::string("\0\0\0\x28", 4)); },
         "its clusters are of 2^40 bytes"},
        {"an unknown incompatible feature", "plain",
         [&](const std::string& image) { write_at(image, 72, be64_bytes(be64(plain.header, 72) | 1u << 7)); },
         "features this tool does not know: (bit 7)"},
        {"marked corrupt", "plain",
         [&](const std::string& image) { write_at(image, 72, be64_bytes(be64(plain.header, 72) | 2u)); },
         "it is marked corrupt by the program that wrote it"},
        {"cut off inside its header", "plain", [](const std::string& image) { fs::resize_file(image, 64); },
         "the file ends inside its header"},
        {"cut off before its data", "plain",
         [&](const std::string& image) { fs::resize_file(image, plain.l2 + 65536); },
         "lies past the end of the file"},
        {"version 1: an L2 entry past the end", "v1plain",
         [&](const std::string& image) { write_at(image, v1plain_l2, be64_bytes(std::uint64_t{1} << 40)); },
         "its cluster at 1099511627776 runs past the end of the file"},
        {"version 1: an L1 entry past the end", "v1plain",
         [&](const std::string& image) { write_at(image, be64(v1plain_bytes, 40), be64_bytes(std::uint64_t{1} << 44)); },
         "its L2 table at 17592186044416 runs past the end of the file"},
        {"version 1: a compressed cluster past the end", "v1zlib",
         [&](const std::string& image) {
             write_at(image, v1zlib_l2, be64_bytes((v1zlib_entry & ~((std::uint64_t{1} << 51) - 1)) | (std::uint64_t{1} << 40)));
         },
         "its compressed cluster at 1099511627776 of "},
        {"version 1: a cluster that does not inflate", "v1zlib",
         [&](const std::string& image) { write_at(image, v1_compressed_at, std::string(64, '\xff')); },
         "a compressed cluster does not inflate to a whole cluster"},
        {"version 1: absurd clusters", "v1plain",
         [](const std::string& image) { write_at(image, 32, std::string("\x28", 1)); }, "its clusters are of 2^40 bytes"},
        {"version 1: an absurd virtual size", "v1plain",
         [](const std::string& image) { write_at(image, 24, be64_bytes(std::uint64_t{1} << 63)); }, "is absurd"},
        {"version 1: an L1 table past the end", "v1plain",
         [](const std::string& image) { fs::resize_file(image, 52); }, "its L1 table at 48 of 20 entries runs past the end"},
        {"version 1: encrypted", "v1plain",
         [](const std::string& image) { write_at(image, 36, std::string("\0\0\0\x01", 4)); },
         "it is encrypted (AES), and this tool reads no encrypted image"},
        {"version 1: cut off inside its header", "v1plain", [](const std::string& image) { fs::resize_file(image, 40); },
         "the file ends inside its header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::copy_file(devices_ + "/" + c.source + ".img", devices_ + "/damaged.img", fs::copy_options::overwrite_existing);
        c.damage(devices_ + "/damaged.img");
        expect_one_message("damaged", c.message);
    }

    // A dirty image, whose refcounts were not brought up to date, reads as any other.
    fs::copy_file(devices_ + "/plain.img", devices_ + "/dirty.img");
    write_at(devices_ + "/dirty.img", 72, be64_bytes(be64(plain.header, 72) | 1u));
    const tool_result dirty = run_tool(work_, {"-s/dev/dirty", "/"});
    EXPECT_EQ(dirty.status, 0) << dirty.errors;
    EXPECT_NE(dirty.output.find("lost+found"), std::string::npos);

    // Images that are sound but cannot be read.
    const struct {
        const char* name;
        const char* make;
        const char* message;
    } unreadable[] = {
        // qemu-img times its key derivation on the processor first, and on a loaded machine that
        // timing now and then fails ("Unable to get accurate CPU usage"): it is tried again.
        {"luks", "for try in 1 2 3; do qemu-img create -q -f qcow2 -o encrypt.format=luks,encrypt.key-secret=sec0 "
                 "--object secret,id=sec0,data=x luks.img 40M && break; sleep 1; done",
         "it is encrypted (LUKS), and this tool reads no encrypted image"},
        {"loop", "qemu-img create -q -f qcow2 -u -b loop2.qcow2 -F qcow2 loop.img 40M && "
                 "qemu-img create -q -f qcow2 -u -b loop.img -F qcow2 loop2.qcow2 40M",
         "a chain of more than 64 disks over their parents, or one that loops"},
        {"orphan", "qemu-img create -q -f qcow2 -u -b missing.raw -F raw orphan.img 40M", "missing.raw"},
        {"version4", "qemu-img create -q -f qcow2 version4.img 40M && printf '\\0\\0\\0\\4' | dd of=version4.img bs=1 seek=4 conv=notrunc status=none",
         "it is of version 4, which this tool does not read"},
    };
    for (const auto& c : unreadable) {
        SCOPED_TRACE(c.name);
        run_shell(substituted("cd '" + devices_ + "' && " + c.make + " >/dev/null", qemu_programs));
        expect_one_message(c.name, c.message);
    }
}

}  // namespace
}  // namespace whole_program
