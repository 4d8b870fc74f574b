// kovox and the real tool over a device whose names were chosen to break the command interpreter,
// the listing text and the walk. A name the interpreter would change is printed but never entered;
// every other entry is listed exactly once; no command other than the tool's ever runs.
#include <filesystem>
#include <string>
#include <vector>

#include "device_model.h"
#include "reliability_support.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

// Every command an injection would run makes this folder in kovox's current folder.
constexpr char canary[] = "canary";

struct hostile_name {
    std::string name;
    bool windows_can_hold;
    bool entered_on_posix;  // kovox enters the folder: its POSIX layer passes the name to /bin/sh
    bool entered_on_windows;
};

// Names Windows cannot hold (quotes, <, >, |, \, control characters, trailing dots and spaces)
// are made on the host only.
const std::vector<hostile_name> hostile_names = {
    {"say \"hi\"", false, false, false},
    {"x\" & mkdir canary & \"x", false, false, false},
    {"x\"; mkdir canary; \"x", false, false, false},
    {"%PATH%", true, true, false},
    {"100% & 50%", true, true, true},
    {"!PATH!", true, true, true},
    {"$(mkdir canary)", true, true, true},
    {"`mkdir canary`", true, true, true},
    {"${PATH}", true, true, true},
    {"x & mkdir canary & x", true, true, true},
    {"x ^& mkdir canary", true, true, true},
    {"(x) ^", true, true, true},
    {"x | mkdir canary", false, true, false},
    {"x < y > canary", false, true, false},
    {"x; mkdir canary", true, true, true},
    {"it's", true, true, true},
    {"back\\slash", false, true, false},
    {"carriage\rreturn", false, false, false},
    {"tab\there", false, false, false},
    {"-rf", true, true, true},
    {"-READ", true, true, true},
    {"*", false, true, false},
    {"~", true, true, true},
    {"...", false, true, false},
    {". ", false, true, false},
    {" ..", false, true, false},
    {"caf\xc3\xa9", true, true, true},
    {"\xff\xfe bytes", false, true, false},
};

// A 255-byte name makes a tool line of 311 characters, which is listed whole; a file inside a
// folder of that name has a path of 262 characters, which is not. On Windows only the file: a
// folder of that name would put the file inside it past the longest host path Windows programs
// read.
std::vector<device_entry> long_name_entries(bool listed) {
    std::vector<device_entry> entries;
    if (listed) entries.push_back(file(std::string(255, 'f'), 3));
    if (listed && !on_windows()) entries.push_back(folder(std::string(255, 'd')));
    if (!listed && !on_windows()) entries.push_back(file(std::string(255, 'd') + "/inside", 5));
    return entries;
}

// Entries that are never listed: the tool leaves out a name holding a line feed, which its text
// of one line per entry cannot carry. Windows allows no line feed in a name.
std::vector<device_entry> left_out_entries() {
    std::vector<device_entry> entries = long_name_entries(false);
    if (!on_windows()) entries.insert(entries.end(), {folder("line\nfeed"), file("line\nfeed/inside", 5)});
    return entries;
}

TEST_F(ReliabilityTest, HostileNamesAreListedOnceAndNeverRun) {
    // The temporary directory's own name is hostile too.
    temp = work + "/temp & (dir); x";
    fs::create_directories(temp);
    set_environment("TEMP", native_path(temp));
    set_environment("KOVO_DEVICES", native_path(work + "/devices"));
    put_binary_directory_on_path();

    std::vector<device_entry> made, listed;
    for (const hostile_name& hostile : hostile_names) {
        if (on_windows() && !hostile.windows_can_hold) continue;
        made.push_back(folder(hostile.name));
        made.push_back(file(hostile.name + "/inside", 5));
        listed.push_back(made[made.size() - 2]);
        if (on_windows() ? hostile.entered_on_windows : hostile.entered_on_posix) listed.push_back(made.back());
    }
    const std::vector<device_entry> long_names = long_name_entries(true);
    made.insert(made.end(), long_names.begin(), long_names.end());
    listed.insert(listed.end(), long_names.begin(), long_names.end());
    const std::vector<device_entry> left_out = left_out_entries();
    made.insert(made.end(), left_out.begin(), left_out.end());
    make_device(work + "/devices/hda1", made);
    const std::string expected = expected_listing(work + "/devices/hda1", listed);

    EXPECT_EQ(list_in(work), with_platform_line_ends(as_printed(expected)));
    EXPECT_FALSE(fs::exists(work + "/" + canary));
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});
}

TEST_F(ReliabilityTest, HostileDeviceNamesRunNothing) {
    // The device name stands unquoted in the command: kovox runs nothing for a name like these,
    // which would run a command of their own whether or not such a device exists.
    std::vector<std::string> archives = {"x;mkdir canary.img", "x&mkdir canary.img", "x|mkdir canary.img"};
    if (!on_windows()) archives.insert(archives.end(), {"$(mkdir canary).img", "`mkdir canary`.img"});
    set_environment("KOVO_DEVICES", native_path(work + "/devices"));
    make_device(work + "/devices/x", {file("etc", 3)});
    put_binary_directory_on_path();
    for (const std::string& archive : archives) {
        EXPECT_EQ(list_in(work, archive), "") << archive;
        EXPECT_FALSE(fs::exists(work + "/" + canary)) << archive;
    }
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});
}

}  // namespace
}  // namespace whole_program
