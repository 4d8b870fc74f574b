// The image reader over images that mke2fs makes from a folder, with the entries that only
// debugfs can add, and over the same images damaged.
#include "devices/image_test_support.h"

namespace dirtool {
namespace {

using namespace image_tests;

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

}  // namespace
}  // namespace dirtool
