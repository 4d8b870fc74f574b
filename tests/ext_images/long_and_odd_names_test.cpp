// kovox and the stand-in tool, both as built, over an ext4 image whose names are as long as paths
// allow or carry what /bin/sh or cmd.exe treat specially: each is listed, entered and copied out
// byte for byte. A name holding a double quote is printed but never run, and a canary shows that no
// command of its making ran. Host only: the Win32 build of the tool reads folders, not images.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device_model.h"
#include "ext_image_support.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// `text` padded with `fill` to `length` bytes.
std::string padded(std::string text, std::size_t length, char fill) {
    text.resize(length, fill);
    return text;
}

struct odd_entry {
    std::string path;  // relative to the root
    bool is_folder;
    bool listed;       // printed; a folder is entered too, a file copied out
};

// Paths of 250 and 259 characters, 255-byte names, and names sh or cmd.exe would read otherwise
// than they stand. Every command an injection would run makes "canary" in kovox's current folder.
std::vector<odd_entry> odd_entries() {
    const std::string long_name = padded("a 255-byte name, caf\xc3\xa9 $x 100% it's ", 255, 'n');
    const std::string long_folder = padded("a 255-byte folder ", 255, 'd');
    // Four folders, 250 characters with the slashes between them.
    const std::string deep = padded("deep 1 ", 60, 'a') + "/" + padded("deep 2 $HOME ", 60, 'b') + "/" +
                             padded("deep 3 %PATH% ", 60, 'c') + "/" + padded("deep 4 ", 67, 'd');
    std::vector<odd_entry> entries = {
        {long_name, false, true},
        {long_folder, true, true},
        {long_folder + "/abc", false, true},  // a printed path of 259 characters
        {long_folder + "/abcd", false, false},
    };
    std::string parent;
    for (std::size_t slash = 0; slash != std::string::npos;) {
        slash = deep.find('/', parent.size() + 1);
        parent = deep.substr(0, slash);
        entries.push_back({parent, true, true});
    }
    entries.insert(entries.end(), {
        {deep + "/in.txt", false, true},
        {"Price $5", true, true},
        {"Price $5/inside.txt", false, true},
        {"Foo$Bar.class", false, true},
        {"it's `here`.txt", false, true},
        {"back\\slash.txt", false, true},
        {"100%", true, true},
        {"100%/in.txt", false, true},
        {"50% off.txt", false, true},
        {"a%20b%20c.pdf", false, true},
        {"%PATH%", true, true},
        {"%PATH%/in.txt", false, true},
        {"say \"hi\"; mkdir canary; \"x", true, true},
        {"say \"hi\"; mkdir canary; \"x/never listed", false, false},
        {"x\"; mkdir canary; \".txt", false, true},
    });
    return entries;
}

bool can_be_run(const std::string& path) { return path.find('"') == std::string::npos; }

// What kovox prints of an entry, cut to its type, its size for a file, and its path.
std::string expected_line(const odd_entry& entry, std::size_t size) {
    return entry.is_folder ? "d " + entry.path : "- " + std::to_string(size) + " " + entry.path;
}
std::string printed_line(const std::string& line) {
    if (line.size() < 47) return "short line: " + line;
    const std::string path = line.substr(46);
    return line[0] == 'd' ? "d " + path : "- " + std::to_string(std::stoull(line.substr(11, 13))) + " " + path;
}

TEST(LongAndOddNames, ListedEnteredAndCopiedByteForByte) {
    const std::string work = fresh_folder("long-and-odd-names-" + std::to_string(getpid()));
    const std::string tree = work + "/tree";
    const std::string here = work + "/here";
    // A TEMP of 100 characters: the listing command of the deepest folder is 395 characters long.
    const std::string temp = padded(work + "/temp ", 100, 't');
    for (const std::string& folder : {tree, temp, here, work + "/devices"}) fs::create_directories(folder);

    const std::vector<odd_entry> entries = odd_entries();
    std::vector<std::string> expected = {"d lost+found"};  // mke2fs makes it first
    std::vector<std::string> files;
    for (const odd_entry& entry : entries) {
        if (entry.is_folder) {
            fs::create_directory(tree + "/" + entry.path);
        } else {
            // Bytes a text-mode copy or a cut would change.
            std::ofstream(tree + "/" + entry.path, std::ios::binary)
                << entry.path << std::string("\0\r\n\x1a\xff", 5) << entry.path.size();
            if (entry.listed && can_be_run(entry.path)) files.push_back(entry.path);
        }
    }
    // Listed entries, depth first, each folder's entries in byte order as mke2fs stores them.
    std::vector<odd_entry> listed;
    for (const odd_entry& entry : entries) {
        if (entry.listed) listed.push_back(entry);
    }
    const auto is_below = [](const std::string& path, const std::string& folder) {
        return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
               path[folder.size()] == '/';
    };
    std::sort(listed.begin(), listed.end(), [](const odd_entry& a, const odd_entry& b) {
        // Comparing paths with "/" as the lowest byte orders a folder's contents right after it.
        std::string x = a.path, y = b.path;
        std::replace(x.begin(), x.end(), '/', '\x01');
        std::replace(y.begin(), y.end(), '/', '\x01');
        return x < y;
    });
    for (const odd_entry& entry : listed) {
        const bool in_refused_folder = std::any_of(listed.begin(), listed.end(), [&](const odd_entry& folder) {
            return folder.is_folder && !can_be_run(folder.path) && is_below(entry.path, folder.path);
        });
        if (!in_refused_folder) {
            expected.push_back(expected_line(entry, entry.is_folder ? 0 : fs::file_size(tree + "/" + entry.path)));
        }
    }

    const std::string image = work + "/devices/hda1.img";
    ASSERT_EQ(std::system(("LC_ALL=C " MKE2FS_PROGRAM " -q -F -t ext4 -d '" + tree + "' '" + image +
                           "' 16M >/dev/null 2>&1")
                              .c_str()),
              0);
    set_environment("KOVO_DEVICES", work + "/devices");
    set_environment("TEMP", temp);
    set_environment("TMP", "");
    const std::string old_path = put_binary_directory_on_path();

    const run_result listing = run_in(here, "kovox", {"hda1.img"});
    EXPECT_EQ(listing.status, 0);
    std::vector<std::string> printed;
    std::istringstream lines(listing.output);
    for (std::string line; std::getline(lines, line);) printed.push_back(printed_line(line));
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(names_in(here), std::vector<std::string>{});  // no canary
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});

    // Each file copied out by the path kovox printed, with a leading "/" where that still fits.
    ASSERT_GE(files.size(), 10u);
    for (const std::string& path : files) {
        fs::remove_all(here);
        fs::create_directories(here);
        const std::string device_path = path.size() < 259 ? "/" + path : path;
        EXPECT_EQ(run_in(here, "kovox", {"-READ", "hda1.img", device_path}).status, 0);
        const std::string local_name = path.substr(path.rfind('/') + 1);
        EXPECT_EQ(names_in(here), std::vector<std::string>{local_name}) << path;
        EXPECT_TRUE(contents_of(here + "/" + local_name) == contents_of(tree + "/" + path)) << path;
    }
    // A path holding a double quote is never run.
    fs::remove_all(here);
    fs::create_directories(here);
    EXPECT_EQ(run_in(here, "kovox", {"-READ", "hda1.img", "/x\"; mkdir canary; \".txt"}).status, 0);
    EXPECT_EQ(names_in(here), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(here + "/canary"));
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});

    set_environment("PATH", old_path);
    fs::remove_all(work);
}

}  // namespace
}  // namespace whole_program
