// kovox and the real tool over a folder device whose names carry what /bin/sh or cmd.exe read
// otherwise elsewhere than in kovox's quotes: each is listed, entered and copied out byte for byte.
// A name the interpreter would change (a variable cmd.exe would expand on Windows, a double quote
// on the host) is printed but never run, and a canary shows that no command of its making ran.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "device_model.h"
#include "reliability_support.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

// Set variables whose values cmd.exe would put in place of their names. The first ends the tool's
// command and makes the canary, as cmd.exe on Windows reads it (Wine's runs no command it finds in
// a value); the second names another folder, so that the tool lists or copies it instead, which
// shows under Wine too.
const std::vector<std::pair<std::string, std::string>> set_variables = {
    {"KOVOX_CANARY", "\" & mkdir canary & \""},
    {"KOVOX_ELSEWHERE", "Price $5"},
};

struct odd_name {
    std::string path;  // relative to the root; a folder when a later entry lies below it
    bool posix;        // runs on the host: a folder is entered, a file copied out
    bool windows;      // runs on Windows; false too for names Windows cannot hold
    bool windows_can_hold = true;
};

const std::vector<odd_name> odd_names = {
    {"Price $5", true, true},
    {"Price $5/inside.txt", true, true},
    {"Foo$Bar.class", true, true},
    {"it's `here`.txt", true, true},
    {"back\\slash.txt", true, false, false},
    {"100%", true, true},
    {"100%/in.txt", true, true},
    {"50% off.txt", true, true},
    {"a%20b%20c.pdf", true, true},
    // Set variables: cmd.exe would expand them, /bin/sh never.
    {"%PATH%", true, false},
    {"%PATH%/in.txt", true, false},
    {"%KOVOX_CANARY%", true, false},
    {"%KOVOX_CANARY%/in.txt", true, false},
    {"%KOVOX_CANARY%.txt", true, false},
    {"%kovox_elsewhere%", true, false},
    {"%kovox_elsewhere%/inside.txt", true, false},
    {"say \"hi\" & mkdir canary & \"x", false, false, false},
    {"say \"hi\" & mkdir canary & \"x/in.txt", false, false, false},
    {"x\"; mkdir canary; \".txt", false, false, false},
};

std::string contents_of(const std::string& path) {
    std::ifstream file(fs::u8path(path), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool is_folder(const odd_name& name) {
    for (const odd_name& other : odd_names) {
        if (other.path.compare(0, name.path.size() + 1, name.path + "/") == 0) return true;
    }
    return false;
}

TEST_F(ReliabilityTest, NamesThatFitAreListedEnteredAndCopied) {
    for (const auto& [variable, value] : set_variables) set_environment(variable, value);
    set_environment("KOVO_DEVICES", native_path(work + "/devices"));
    put_binary_directory_on_path();
    const std::string device = work + "/devices/hda1";

    std::vector<device_entry> made, listed;
    std::vector<std::string> copied, refused;
    std::string refused_folder = "\n";  // the folder below which nothing is listed
    for (const odd_name& name : odd_names) {
        if (on_windows() && !name.windows_can_hold) continue;
        const bool runs = on_windows() ? name.windows : name.posix;
        made.push_back(is_folder(name) ? folder(name.path) : file(name.path, 0));
        if (name.path.compare(0, refused_folder.size(), refused_folder) != 0) listed.push_back(made.back());
        if (is_folder(name) && !runs) refused_folder = name.path + "/";
        if (!is_folder(name)) (runs ? copied : refused).push_back(name.path);
    }
    make_device(device, made);
    // Bytes a text-mode copy would change.
    for (const device_entry& entry : made) {
        if (entry.type != 'd') {
            std::ofstream(fs::u8path(device + "/" + entry.path), std::ios::binary)
                << entry.path << std::string("\0\r\n\x1a\xff", 5);
        }
    }

    EXPECT_EQ(list_in(work), with_platform_line_ends(as_printed(expected_listing(device, listed))));
    EXPECT_FALSE(fs::exists(work + "/canary"));
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});

    const std::string here = work + "/here";
    for (const std::string& path : copied) {
        reset_folder(here);
        EXPECT_EQ(run_in(here, "kovox", {"-READ", "hda1.img", "/" + path}).status, 0) << path;
        const std::string local_name = path.substr(path.rfind('/') + 1);
        EXPECT_EQ(names_in(here), std::vector<std::string>{local_name}) << path;
        EXPECT_TRUE(contents_of(here + "/" + local_name) == contents_of(device + "/" + path)) << path;
    }
    for (const std::string& path : refused) {
        reset_folder(here);
        EXPECT_EQ(run_in(here, "kovox", {"-READ", "hda1.img", "/" + path}).status, 0) << path;
        EXPECT_EQ(names_in(here), std::vector<std::string>{}) << path;
    }
    EXPECT_GE(copied.size(), 6u);
    EXPECT_GE(refused.size(), 1u);
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});
    for (const auto& [variable, value] : set_variables) set_environment(variable, "");
}

}  // namespace
}  // namespace whole_program
