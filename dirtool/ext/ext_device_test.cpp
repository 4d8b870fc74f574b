// The image reader over images that mke2fs makes from a folder, with the entries that only
// debugfs can add, and over the same images damaged.
#include "device.h"
#include "device_fs.h"
#include "image_channel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace dirtool {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t mib = 1024 * 1024;
constexpr std::uint64_t sparse_size = 5 * 1024 * mib + 3;  // past 32 bits
constexpr std::int64_t jan_02_2026 = 1767323045;
constexpr std::int64_t jan_01_1960 = -315619200;
constexpr std::int64_t jan_01_2040 = 2208988800;

// A fresh folder for one test, removed when the test ends.
class scratch_folder {
public:
    scratch_folder() {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        path_ = (fs::temp_directory_path() / ("kovox-image-" + name + "-" + std::to_string(getpid()))).string();
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~scratch_folder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

bool run_shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string shell_output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
        pclose(pipe);
    }
    return text;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

void set_mtime(const std::string& path, std::int64_t seconds) {
    const struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A folder with every kind of entry a folder can hold unprivileged: nested and multi-block
// directories, files from empty to sparse past 4 GiB, links, a FIFO, a read-only file, names with
// spaces and UTF-8, and a time before 1970.
void make_source_tree(const std::string& root) {
    for (const char* folder : {"docs", "bin", "lib", "dev", "big dir", "deep/er/est"}) {
        fs::create_directories(root + "/" + folder);
    }
    write_file(root + "/docs/a letter.txt", "Dear Bob,\r\n\x1a\n");
    write_file(root + "/docs/caf\xc3\xa9", "au lait");
    std::string pattern;
    for (int i = 0; i < 70000; ++i) pattern += static_cast<char>((i * 7919) % 251);
    write_file(root + "/bin/pattern.bin", pattern);
    write_file(root + "/empty", "");
    write_file(root + "/one block", std::string(4096, 'b'));
    write_file(root + "/tiny", "12345");
    write_file(root + "/lib/libc.so.6", "library");
    write_file(root + "/deep/er/est/bottom", "bottom");
    write_at(root + "/sparse", 0, "head");
    write_at(root + "/sparse", 3 * mib, "middle");
    write_at(root + "/sparse", sparse_size - 3, "end");
    write_file(root + "/read only", "ro");
    fs::permissions(root + "/read only", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    write_file(root + "/old", "old");
    set_mtime(root + "/old", jan_01_1960);
    write_file(root + "/future", "2040");
    set_mtime(root + "/future", jan_02_2026);
    for (int i = 0; i < 300; ++i) write_file(root + "/big dir/entry " + std::to_string(i), std::to_string(i));
    fs::create_directory_symlink("lib", root + "/lib64");
    fs::create_symlink(std::string(100, 'x'), root + "/long link");
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0644), 0);
    set_mtime(root + "/docs/a letter.txt", jan_02_2026);
}

// Entries only debugfs can add unprivileged, and the time past 2038 that mke2fs does not store.
const char* const debugfs_additions =
    "cd /dev\n"
    "mknod null c 1 3\n"
    "sif null mode 020666\n"
    "mknod sda b 8 0\n"
    "sif sda mode 060660\n"
    "write /dev/null sock\n"
    "sif sock mode 0140755\n"
    "sif /future mtime @2208988800\n";

struct expected_entry {
    char type;
    unsigned permissions;
    std::uint64_t size;
    std::int64_t mtime;
};

// What the source folder says of each entry of one of its folders.
std::map<std::string, expected_entry> expected_entries(const std::string& folder) {
    std::map<std::string, expected_entry> entries;
    for (const auto& item : fs::directory_iterator(folder)) {
        struct stat status {};
        lstat(item.path().c_str(), &status);
        const char type = S_ISDIR(status.st_mode) ? 'd' : S_ISLNK(status.st_mode) ? 'l' : S_ISFIFO(status.st_mode) ? 'p' : '-';
        entries[item.path().filename().string()] = {type, static_cast<unsigned>(status.st_mode) & 0777u,
                                                     static_cast<std::uint64_t>(status.st_size), status.st_mtime};
    }
    return entries;
}

std::vector<std::string> components_of(const std::string& relative) {
    std::vector<std::string> components;
    for (const auto& part : fs::path(relative)) {
        if (!part.empty() && part != ".") components.push_back(part.string());
    }
    return components;
}

// Whether two files hold the same bytes, holes reading as zeros. Stretches that are holes in both
// are skipped unread, so files of gigabytes compare quickly.
bool same_contents(const std::string& a, const std::string& b) {
    const int fd_a = open(a.c_str(), O_RDONLY);
    const int fd_b = open(b.c_str(), O_RDONLY);
    struct stat status_a {};
    struct stat status_b {};
    bool same = fd_a >= 0 && fd_b >= 0 && fstat(fd_a, &status_a) == 0 && fstat(fd_b, &status_b) == 0 &&
                status_a.st_size == status_b.st_size;
    std::vector<char> bytes_a(mib);
    std::vector<char> bytes_b(mib);
    const auto chunk = static_cast<off_t>(mib);
    for (off_t at = 0; same && at < status_a.st_size; at += chunk) {
        const off_t data_a = lseek(fd_a, at, SEEK_DATA);
        const off_t data_b = lseek(fd_b, at, SEEK_DATA);
        if ((data_a < 0 || data_a >= at + chunk) && (data_b < 0 || data_b >= at + chunk)) continue;
        const ssize_t got_a = pread(fd_a, bytes_a.data(), mib, at);
        const ssize_t got_b = pread(fd_b, bytes_b.data(), mib, at);
        same = got_a == got_b && got_a > 0 && std::equal(bytes_a.begin(), bytes_a.begin() + got_a, bytes_b.begin());
    }
    if (fd_a >= 0) close(fd_a);
    if (fd_b >= 0) close(fd_b);
    return same;
}

struct image_variant {
    const char* name;
    const char* options;
    bool large_inodes;  // 128-byte inodes hold no times past 2038
};

const image_variant variants[] = {
    {"ext2, 1 KiB blocks, 128-byte inodes", "-t ext2 -b 1024 -I 128", false},
    {"ext3", "-t ext3", true},
    {"ext4", "-t ext4", true},
    {"ext4 with inline data", "-t ext4 -O inline_data", true},
    {"ext4, 4 KiB blocks, 64-bit, no checksums", "-t ext4 -b 4096 -O 64bit,^metadata_csum", true},
};

bool make_image(const std::string& work, const std::string& source, const std::string& options,
                const std::string& image) {
    write_file(work + "/additions", debugfs_additions);
    return run_shell(std::string(MKE2FS_PROGRAM) + " -q -F " + options + " -d '" + source + "' '" + image +
                     "' 32M >/dev/null 2>&1") &&
           run_shell(std::string(DEBUGFS_PROGRAM) + " -w -f '" + work + "/additions' '" + image +
                     "' >/dev/null 2>&1");
}

TEST(ImageDevice, ListsAndCopiesWhatTheFolderItWasMadeFromHolds) {
    const scratch_folder scratch;
    const std::string& work = scratch.path();
    const std::string source = work + "/source";
    make_source_tree(source);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());

    for (const image_variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        const std::string image = work + "/image.img";
        ASSERT_TRUE(make_image(work, source, variant.options, image));
        std::string error;
        const std::unique_ptr<device> disk = open_image_device(image, error);
        ASSERT_TRUE(disk) << error;

        std::vector<std::string> folders = {""};
        for (const auto& item : fs::recursive_directory_iterator(source)) {
            if (item.is_directory() && !item.is_symlink()) folders.push_back(fs::relative(item.path(), source).string());
        }
        for (const std::string& folder : folders) {
            SCOPED_TRACE("/" + folder);
            std::vector<entry_info> entries;
            ASSERT_EQ(disk->list(components_of(folder), entries, error), outcome::done) << error;
            ASSERT_GE(entries.size(), 2u);
            EXPECT_EQ(entries[0].name, ".");
            EXPECT_EQ(entries[1].name, "..");
            EXPECT_EQ(entries[0].type, 'd');

            std::map<std::string, expected_entry> expected = expected_entries(source + "/" + folder);
            if (folder.empty()) {
                expected["lost+found"] = {'d', 0700, 0, 0};
                // Past 2038 only with the epoch bits of a large inode; a 128-byte inode keeps the
                // low 32 bits, which read as a time before 1970.
                expected["future"].mtime = variant.large_inodes ? jan_01_2040 : jan_01_2040 - (std::int64_t{1} << 32);
            }
            if (folder == "dev") {
                expected["null"] = {'c', 0666, 0, 0};
                expected["sda"] = {'b', 0660, 0, 0};
                expected["sock"] = {'s', 0755, 0, 0};
            }
            std::size_t named = 0;
            for (const entry_info& entry : entries) {
                if (entry.name == "." || entry.name == "..") continue;
                ++named;
                const auto found = expected.find(entry.name);
                ASSERT_NE(found, expected.end()) << entry.name;
                const expected_entry& want = found->second;
                EXPECT_EQ(entry.type, want.type) << entry.name;
                EXPECT_EQ(entry.permissions, want.permissions) << entry.name;
                if (want.type == '-' || want.type == 'l') {
                    EXPECT_EQ(entry.size, want.size) << entry.name;
                    EXPECT_EQ(entry.mtime, want.mtime) << entry.name;
                }
            }
            EXPECT_EQ(named, expected.size());
        }

        // Every regular file comes out byte for byte, the sparse one as a sparse file.
        const std::string out = work + "/out";
        for (const auto& item : fs::recursive_directory_iterator(source)) {
            if (!item.is_regular_file() || item.is_symlink()) continue;
            const std::string relative = fs::relative(item.path(), source).string();
            fs::remove_all(out);
            EXPECT_EQ(disk->copy_out(components_of(relative), out, error), outcome::done) << relative << ": " << error;
            EXPECT_TRUE(same_contents(item.path().string(), out)) << relative;
            if (relative == "sparse") {
                struct stat status {};
                ASSERT_EQ(stat(out.c_str(), &status), 0);
                EXPECT_LT(static_cast<std::uint64_t>(status.st_blocks) * 512, 16 * mib);
            }
        }
    }
}

TEST(ImageDevice, RefusesWhatIsNoRegularFileAndFindsNothingThroughLinksOrFiles) {
    const scratch_folder scratch;
    const std::string& work = scratch.path();
    make_source_tree(work + "/source");
    ASSERT_TRUE(make_image(work, work + "/source", "-t ext4", work + "/image.img"));
    std::string error;
    const std::unique_ptr<device> disk = open_image_device(work + "/image.img", error);
    ASSERT_TRUE(disk) << error;

    const struct {
        bool list;
        std::vector<std::string> path;
        outcome result;
    } cases[] = {
        {false, {"docs"}, outcome::not_regular},
        {false, {"lib64"}, outcome::not_regular},
        {false, {"long link"}, outcome::not_regular},
        {false, {"pipe"}, outcome::not_regular},
        {false, {"dev", "null"}, outcome::not_regular},
        {false, {"dev", "sda"}, outcome::not_regular},
        {false, {"dev", "sock"}, outcome::not_regular},
        {false, {"missing"}, outcome::not_found},
        {false, {"lib64", "libc.so.6"}, outcome::not_found},
        {false, {"empty", "x"}, outcome::not_found},
        {false, {"Docs", "a letter.txt"}, outcome::not_found},
        {true, {"missing"}, outcome::not_found},
        {true, {"empty"}, outcome::not_found},
        {true, {"lib64"}, outcome::not_found},
        {true, {"pipe"}, outcome::not_found},
    };
    const std::string out = work + "/out";
    for (const auto& c : cases) {
        std::string joined;
        for (const std::string& name : c.path) joined += "/" + name;
        std::vector<entry_info> entries;
        EXPECT_EQ(c.list ? disk->list(c.path, entries, error) : disk->copy_out(c.path, out, error), c.result)
            << joined;
        EXPECT_FALSE(fs::exists(out)) << joined;
    }

    // Copying onto the image itself would empty it before it is read.
    const auto image_size = fs::file_size(work + "/image.img");
    EXPECT_EQ(disk->copy_out({"tiny"}, work + "/image.img", error), outcome::failed);
    EXPECT_NE(error.find("source file itself"), std::string::npos) << error;
    EXPECT_EQ(fs::file_size(work + "/image.img"), image_size);
}

// Where debugfs says an inode (its "imap") or a file's first block ("bmap") lies, in bytes.
std::uint64_t byte_offset_of(const std::string& debugfs_request, const std::string& image) {
    const std::string text = shell_output(std::string(DEBUGFS_PROGRAM) + " -R '" + debugfs_request + "' '" +
                                          image + "' 2>/dev/null");
    unsigned long long block = 0;
    unsigned offset = 0;
    const std::size_t located = text.find("located at block");
    if (located != std::string::npos) {
        std::sscanf(text.c_str() + located, "located at block %llu, offset 0x%x", &block, &offset);
    } else {
        std::sscanf(text.c_str(), "%llu", &block);
    }
    return block * 4096 + offset;
}

void overwrite_with_garbage(const std::string& image, std::uint64_t offset, std::size_t count) {
    std::string garbage;
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        garbage += static_cast<char>(state >> 24);
    }
    write_at(image, offset, garbage);
}

// Damaged images: every operation ends with a result, a failure always with a message, and on an
// image with checksums whatever is listed is what the intact image lists.
TEST(ImageDevice, DamagedImagesFailWithAMessageAndNeverListGarbage) {
    const scratch_folder scratch;
    const std::string& work = scratch.path();
    const std::string source = work + "/source";
    make_source_tree(source);
    const std::string intact = work + "/intact.img";
    ASSERT_TRUE(make_image(work, source, "-t ext4 -b 4096", intact));
    const std::string plain = work + "/plain.img";  // no checksums catch damage here
    ASSERT_TRUE(make_image(work, source, "-t ext2 -b 4096", plain));

    std::vector<std::string> folders = {""};
    std::vector<std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(source)) {
        const std::string relative = fs::relative(item.path(), source).string();
        if (item.is_symlink()) continue;
        if (item.is_directory()) folders.push_back(relative);
        if (item.is_regular_file() && relative != "sparse") files.push_back(relative);
    }
    std::string error;
    std::map<std::string, std::vector<entry_info>> intact_listings;
    {
        const std::unique_ptr<device> disk = open_image_device(intact, error);
        ASSERT_TRUE(disk) << error;
        for (const std::string& folder : folders) disk->list(components_of(folder), intact_listings[folder], error);
    }

    const struct {
        const char* name;
        const char* base;  // "intact", "plain", or "" for a file made from nothing
        std::function<void(const std::string&)> damage;
        bool opens;
        const char* failing_folder;  // a folder whose listing must fail, or null
        const char* message;         // part of that failure's message
    } cases[] = {
        {"not a file system", "", [](const std::string& image) { write_file(image, std::string(70000, 'x')); },
         false, nullptr, "no file system"},
        {"empty file", "", [](const std::string& image) { write_file(image, ""); }, false, nullptr,
         "no file system"},
        {"a FIFO", "", [](const std::string& image) { ASSERT_EQ(mkfifo(image.c_str(), 0644), 0); }, false,
         nullptr, "not a disk image"},
        {"garbage over the root's inode", "intact",
         [](const std::string& image) { overwrite_with_garbage(image, byte_offset_of("imap <2>", image), 256); },
         true, "", "root directory"},
        {"garbage over a file's inode", "intact",
         [](const std::string& image) { overwrite_with_garbage(image, byte_offset_of("imap /tiny", image), 256); },
         true, "", "\"tiny\""},
        {"garbage over a directory block", "intact",
         [](const std::string& image) {
             overwrite_with_garbage(image, byte_offset_of("bmap \"/big dir\" 1", image), 4096);
         },
         true, "big dir", "big dir"},
        {"a directory that holds itself", "intact",
         [](const std::string& image) {
             run_shell(std::string(DEBUGFS_PROGRAM) + " -w -R 'link /deep/er /deep/er/again' '" + image +
                       "' >/dev/null 2>&1");
         },
         true, "deep/er/again", "leads back"},
        {"garbage over the inode table, no checksums", "plain",
         [](const std::string& image) { overwrite_with_garbage(image, byte_offset_of("imap <12>", image), 65536); },
         true, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = work + "/damaged.img";
        fs::remove(image);
        if (*c.base != '\0') fs::copy_file(std::string(c.base) == "plain" ? plain : intact, image);
        c.damage(image);
        const std::unique_ptr<device> disk = open_image_device(image, error);
        ASSERT_EQ(disk != nullptr, c.opens) << error;
        if (!disk) {
            EXPECT_NE(error.find(c.message), std::string::npos) << error;
            continue;
        }

        std::vector<std::string> targets = folders;
        if (c.failing_folder != nullptr) targets.push_back(c.failing_folder);
        bool failing_folder_failed = false;
        for (const std::string& folder : targets) {
            std::vector<entry_info> entries;
            error.clear();
            const outcome result = disk->list(components_of(folder), entries, error);
            EXPECT_EQ(result == outcome::failed, !error.empty()) << folder << ": " << error;
            if (c.failing_folder != nullptr && folder == c.failing_folder && result == outcome::failed) {
                failing_folder_failed = true;
                EXPECT_NE(error.find(c.message), std::string::npos) << error;
            }
            // Checksums catch damage; a loop made on purpose adds an entry of its own.
            if (std::string(c.base) != "intact" || folder.rfind("deep", 0) == 0) continue;
            for (const entry_info& entry : entries) {
                const std::vector<entry_info>& whole = intact_listings[folder];
                EXPECT_TRUE(std::any_of(whole.begin(), whole.end(), [&](const entry_info& good) {
                    return good.name == entry.name && good.type == entry.type && good.size == entry.size &&
                           good.mtime == entry.mtime;
                })) << folder << "/" << entry.name;
            }
        }
        if (c.failing_folder != nullptr) {
            EXPECT_TRUE(failing_folder_failed) << c.failing_folder;
        }

        for (const std::string& file : files) {
            const std::string out = work + "/out";
            error.clear();
            const outcome result = disk->copy_out(components_of(file), out, error);
            EXPECT_EQ(result == outcome::failed, !error.empty()) << file << ": " << error;
            if (result != outcome::done) {
                EXPECT_FALSE(fs::exists(out)) << file;
            } else if (std::string(c.base) == "intact") {
                EXPECT_TRUE(same_contents(source + "/" + file, out)) << file;
            }
            fs::remove(out);
        }
    }
}


// The channel the library reads images through: every read returns the bytes of its window of the
// image, whether the reader's 4 KiB window holds them or not; past the window's end it returns
// zeros and fails; and it never opens the image for writing.
TEST(ImageChannel, ReadsTheBytesOfItsWindowAndNothingElse) {
    const scratch_folder scratch;
    const std::string image = scratch.path() + "/bytes.img";
    std::string bytes(40000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    write_file(image, bytes);

    std::string error;
    std::unique_ptr<image_source> source = open_image_file(image, error);
    ASSERT_TRUE(source) << error;
    image_reader reader(std::move(source));
    const struct {
        std::uint64_t start, length;
    } windows[] = {{0, bytes.size()}, {3000, 30000}};
    for (const auto& w : windows) {
        SCOPED_TRACE("window from " + std::to_string(w.start));
        const image_window window{&reader, w.start, w.length};
        const std::string seen = bytes.substr(w.start, w.length);
        io_channel channel = nullptr;
        ASSERT_EQ(open_image_channel(window, IO_FLAG_RW, &channel), EXT2_ET_RO_FILSYS);
        ASSERT_EQ(open_image_channel(window, 0, &channel), 0);
        ASSERT_EQ(io_channel_set_blksize(channel, 1024), 0);
        const struct {
            unsigned long long block;
            int count;  // blocks, or bytes when negative
        } reads[] = {
            {1, 1}, {2, 1},    // the second from the window the first filled
            {0, 1},            // behind the window
            {3, -100},         // bytes, inside the window
            {4, 1}, {7, 2},    // across the window's end
            {20, 8}, {21, 1},  // larger than the window, then a block it does not hold
            {28, 2}, {29, 1}, {38, 2}, {39, 1}, {50, 1}, {~0ull / 2, 1},
        };
        for (const auto& r : reads) {
            SCOPED_TRACE("block " + std::to_string(r.block) + ", count " + std::to_string(r.count));
            const std::size_t size = r.count < 0 ? static_cast<std::size_t>(-r.count)
                                                 : std::size_t{1024} * static_cast<std::size_t>(r.count);
            const bool inside = r.block < seen.size() / 1024 && r.block * 1024 + size <= seen.size();
            std::string got(size, 'x');
            EXPECT_EQ(io_channel_read_blk64(channel, r.block, r.count, got.data()), inside ? 0 : EXT2_ET_SHORT_READ);
            std::string expected = r.block < seen.size() ? seen.substr(std::min<std::size_t>(r.block * 1024, seen.size()), size) : "";
            expected.resize(size, '\0');
            EXPECT_EQ(got, expected);
        }
        const char block[1024] = {};
        EXPECT_EQ(io_channel_write_blk64(channel, 0, 1, block), EXT2_ET_RO_FILSYS);
        EXPECT_EQ(io_channel_close(channel), 0);
    }
    std::ifstream after(image, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after), {}), bytes);
}

// A raw disk as Windows serves one: it takes whole sectors only, at whole-sector offsets, into
// sector-aligned memory, and nothing past its last sector. Any other read fails, and fails the test.
class strict_disk final : public image_source {
public:
    strict_disk(std::string bytes, std::size_t sector) : bytes_(std::move(bytes)), sector_(sector) {}

    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t sector_size() const override { return sector_; }
    std::int64_t modified() const override { return jan_02_2026; }
    file_identity identity() const override { return {}; }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset % sector_ != 0 || count % sector_ != 0 || reinterpret_cast<std::uintptr_t>(data) % sector_ != 0 ||
            offset > bytes_.size() || count > bytes_.size() - offset) {
            ADD_FAILURE() << "refused: " << count << " bytes at " << offset;
            error = "the disk refuses the read";
            return false;
        }
        std::memcpy(data, bytes_.data() + offset, count);
        got = count;
        return true;
    }

private:
    std::string bytes_;
    std::size_t sector_;
};

constexpr std::size_t sector_sizes[] = {512, 4096};

// Any byte range reads right through whole aligned sectors: inside the window and across it,
// longer than it into memory that is aligned and memory that is not, and up to and past the end.
TEST(ImageReader, ReadsADiskThatTakesOnlyAlignedSectors) {
    std::string bytes(64 * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    const struct {
        std::uint64_t offset;
        std::size_t count;
        std::size_t misaligned_by;  // where the read lands in the caller's memory
    } reads[] = {
        {0, 1, 0},         {1, 100, 3},          {4000, 200, 0},     {511, 2, 1},
        {8192, 16384, 0},  {8192, 16384, 8},     {12289, 20000, 0},  {0, 65536, 0},
        {65536 - 10, 10, 0}, {65536 - 10, 30, 5}, {65536, 4, 0},      {40960, 32768, 0},
    };
    for (const std::size_t sector : sector_sizes) {
        SCOPED_TRACE(std::to_string(sector) + "-byte sectors");
        image_reader reader(std::make_unique<strict_disk>(bytes, sector));
        for (const auto& r : reads) {
            SCOPED_TRACE(std::to_string(r.count) + " bytes at " + std::to_string(r.offset));
            std::vector<char> memory(r.count + 4096 * 2, 'x');
            const auto address = reinterpret_cast<std::uintptr_t>(memory.data());
            char* const into = memory.data() + (4096 - address % 4096) % 4096 + r.misaligned_by;
            std::string error;
            const bool inside = r.offset + r.count <= bytes.size();
            EXPECT_EQ(reader.read(r.offset, into, r.count, error),
                      inside ? image_reader::result::done : image_reader::result::past_the_end);
            std::string expected = r.offset < bytes.size() ? bytes.substr(r.offset, r.count) : "";
            expected.resize(r.count, '\0');
            EXPECT_EQ(std::string(into, r.count), expected);
        }
    }
}

// An ext file system lists and copies out through such a disk as it does from the image file, at
// either sector size: bare, and as partition 1 of a whole disk.
TEST(ImageDevice, ListsAndCopiesThroughADiskThatTakesOnlyAlignedSectors) {
    const scratch_folder scratch;
    const std::string& work = scratch.path();
    const std::string source = work + "/source";
    make_source_tree(source);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const std::string image = work + "/image.img";
    ASSERT_TRUE(make_image(work, source, "-t ext4 -b 1024", image));
    std::ifstream in(image, std::ios::binary);
    const std::string bare(std::istreambuf_iterator<char>(in), {});
    // An MBR with one Linux partition 1 MiB in, as sfdisk lays a disk out.
    constexpr std::size_t first = 1024 * 1024;
    std::string whole(first, '\0');
    whole[446 + 4] = static_cast<char>(0x83);
    const std::uint32_t start = first / 512;
    const auto length = static_cast<std::uint32_t>(bare.size() / 512);
    for (int i = 0; i < 4; ++i) {
        whole[446 + 8 + static_cast<std::size_t>(i)] = static_cast<char>((start >> (8 * i)) & 0xff);
        whole[446 + 12 + static_cast<std::size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xff);
    }
    whole[510] = static_cast<char>(0x55);
    whole[511] = static_cast<char>(0xaa);
    whole += bare;

    std::string error;
    const std::unique_ptr<device> from_file = open_image_device(image, error);
    ASSERT_TRUE(from_file) << error;
    std::vector<std::string> folders = {""};
    for (const auto& item : fs::recursive_directory_iterator(source)) {
        if (item.is_directory() && !item.is_symlink()) folders.push_back(fs::relative(item.path(), source).string());
    }
    const auto listing_of = [&error](device& disk, const std::vector<std::string>& components) {
        std::vector<entry_info> entries;
        EXPECT_EQ(disk.list(components, entries, error), outcome::done) << error;
        std::string lines;
        for (const entry_info& entry : entries) lines += listing_line(entry) + "\n";
        return lines;
    };
    for (const std::size_t sector : sector_sizes) {
        SCOPED_TRACE(std::to_string(sector) + "-byte sectors");
        const std::unique_ptr<device> bare_disk = open_image_device(std::make_unique<strict_disk>(bare, sector), "bare", error);
        ASSERT_TRUE(bare_disk) << error;
        const std::unique_ptr<device> partition = open_partition_device(std::make_unique<strict_disk>(whole, sector), "whole", 1, error);
        ASSERT_TRUE(partition) << error;
        const std::unique_ptr<device> whole_disk = open_image_device(std::make_unique<strict_disk>(whole, sector), "whole", error);
        ASSERT_TRUE(whole_disk) << error;
        for (const std::string& folder : folders) {
            SCOPED_TRACE("/" + folder);
            const std::string expected = listing_of(*from_file, components_of(folder));
            EXPECT_GT(expected.size(), 0u);
            EXPECT_EQ(listing_of(*bare_disk, components_of(folder)), expected);
            EXPECT_EQ(listing_of(*partition, components_of(folder)), expected);
            std::vector<std::string> in_partition_1 = components_of(folder);
            in_partition_1.insert(in_partition_1.begin(), "1");
            EXPECT_EQ(listing_of(*whole_disk, in_partition_1), expected);
        }
        const std::string out = work + "/out";
        for (const auto& item : fs::recursive_directory_iterator(source)) {
            if (!item.is_regular_file() || item.is_symlink()) continue;
            const std::string relative = fs::relative(item.path(), source).string();
            for (device* disk : {bare_disk.get(), partition.get()}) {
                fs::remove_all(out);
                EXPECT_EQ(disk->copy_out(components_of(relative), out, error), outcome::done) << relative << ": " << error;
                EXPECT_TRUE(same_contents(item.path().string(), out)) << relative;
            }
        }
    }
}

}  // namespace
}  // namespace dirtool
