#include "devices/devices.h"
#include "host/host_fs.h"
#include "tool/command_line.h"
#include "tool/listing_line.h"
#include "base/bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dirtool {
namespace {

// Reads a line back the way a listing reader does: the size runs from column 21 up to the first
// space at or after column 30, and that space's column k places the date and the name.
struct read_back {
    std::string mode, size, date, name;
    char after_date = '?';
};

read_back read_columns(const std::string& line) {
    const std::size_t k = line.find(' ', 30);
    read_back fields;
    fields.mode = line.substr(0, 10);
    fields.size = line.substr(21, k - 21);
    fields.date = line.substr(k + 5, 20);
    fields.after_date = line.at(k + 25);
    fields.name = line.substr(k + 26);
    return fields;
}

TEST(ListingLine, FieldsStandInTheirColumnsForEverySizeWidth) {
    struct row {
        std::uint64_t size;
        const char* size_text;
    };
    const row rows[] = {
        {0, "        0"},
        {4096, "     4096"},
        {123456789, "123456789"},
        {1234567890, "1234567890"},
        {123456789012, "123456789012"},
        {UINT64_C(18446744073709551615), "18446744073709551615"},
    };
    for (const row& r : rows) {
        entry_info entry;
        entry.name = "caf\xc3\xa9 with  spaces.txt";
        entry.type = '-';
        entry.permissions = 0644;
        entry.links = 1;
        entry.size = r.size;
        entry.mtime = 1767323045;
        const std::string line = listing_line(entry);
        const read_back fields = read_columns(line);
        SCOPED_TRACE(line);
        EXPECT_EQ(fields.mode, "-rw-r--r--");
        EXPECT_EQ(fields.size, r.size_text);
        EXPECT_EQ(fields.date, "Jan 02 03:04:05 2026");
        EXPECT_EQ(fields.after_date, ' ');
        EXPECT_EQ(fields.name, entry.name);
    }
}

TEST(ListingLine, UsualLinePutsTheNameAtColumn56EvenWithAHugeLinkCount) {
    entry_info entry;
    entry.name = "etc";
    entry.type = 'd';
    entry.permissions = 0755;
    entry.links = 123456;
    entry.size = 4096;
    const std::string line = listing_line(entry);
    EXPECT_EQ(line.find("etc"), 56u) << line;
    EXPECT_EQ(line[30], ' ') << line;
}

TEST(ModeText, TypeThenOwnerGroupOtherTriplets) {
    EXPECT_EQ(mode_text('d', 0755), "drwxr-xr-x");
    EXPECT_EQ(mode_text('-', 0444), "-r--r--r--");
    EXPECT_EQ(mode_text('l', 0777), "lrwxrwxrwx");
    EXPECT_EQ(mode_text('-', 0640), "-rw-r-----");
    EXPECT_EQ(mode_text('p', 0001), "p--------x");
}

TEST(DateText, UtcCalendarInTwentyCharacters) {
    struct row {
        std::int64_t seconds;
        const char* text;
    };
    const row rows[] = {
        {0, "Jan 01 00:00:00 1970"},
        {1767323045, "Jan 02 03:04:05 2026"},
        {1709251199, "Feb 29 23:59:59 2024"},
        {2147483648, "Jan 19 03:14:08 2038"},   // past a 32-bit time_t
        {4107542400, "Mar 01 00:00:00 2100"},   // 2100 is no leap year
        {-1, "Dec 31 23:59:59 1969"},
        {-11670955200, "Feb 29 12:00:00 1600"},
        {INT64_C(9223372036854775807), "Dec 31 23:59:59 9999"},
        {INT64_MIN, "Jan 01 00:00:00 0000"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(date_text(r.seconds), r.text) << r.seconds;
    }
}

TEST(SplitDevicePath, AcceptsPathsBelowTheRootAndRefusesWaysOut) {
    struct row {
        const char* path;
        host_kind host;
        bool accepted;
        std::vector<std::string> components;
    };
    const host_kind posix = host_kind::posix;
    const host_kind win32 = host_kind::win32;
    const row rows[] = {
        {"/", win32, true, {}},
        {"/etc/", win32, true, {"etc"}},
        {"/etc", win32, true, {"etc"}},
        {"etc/passwd", win32, true, {"etc", "passwd"}},
        {"/usr/share/doc/", win32, true, {"usr", "share", "doc"}},
        {"/My Files/caf\xc3\xa9.txt", win32, true, {"My Files", "caf\xc3\xa9.txt"}},
        {"/../", posix, false, {}},
        {"..", posix, false, {}},
        {"/etc/../../x", posix, false, {}},
        {"/./", posix, false, {}},
        {"//", posix, false, {}},
        {"/etc//passwd", posix, false, {}},
        // What else a component may hold is the device's to say: an image takes names that Win32
        // would read as a drive or a wildcard, a folder device refuses them.
        {"C:/windows", win32, true, {"C:", "windows"}},
        {"/a:b/", win32, true, {"a:b"}},
        {"/what?/x|y", win32, true, {"what?", "x|y"}},
        {"\\etc", win32, true, {"etc"}},
        {"netfilter_ipv4\\ip_tables.h", win32, true, {"netfilter_ipv4", "ip_tables.h"}},
        {"\\usr\\share/doc\\", win32, true, {"usr", "share", "doc"}},
        {"/etc\\..\\..\\x", win32, false, {}},
        {"\\..\\x", win32, false, {}},
        {"/etc\\\\passwd", win32, false, {}},
        {"/*", win32, true, {"*"}},
        // Backslashes and colons are plain name characters on a POSIX host.
        {"/a\\b:c", posix, true, {"a\\b:c"}},
    };
    for (const row& r : rows) {
        std::vector<std::string> components;
        EXPECT_EQ(split_device_path(r.path, r.host, components), r.accepted) << r.path;
        if (r.accepted) {
            EXPECT_EQ(components, r.components) << r.path;
        }
    }
}

TEST(ParseCommand, ReadsBothFormsAndRefusesEverythingElse) {
    struct row {
        std::vector<std::string> args;
        host_kind host;
        bool accepted;
    };
    const host_kind posix = host_kind::posix;
    const host_kind win32 = host_kind::win32;
    const row rows[] = {
        {{"kovont.exe", "-s/dev/hda1", "/"}, win32, true},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/etc/passwd", "passwd"}, win32, true},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/a b", "a b"}, win32, true},
        {{"kovont.exe"}, posix, false},
        {{"kovont.exe", "-s/dev/hda1"}, posix, false},
        {{"kovont.exe", "-s/dev/hda1", "/", "extra"}, posix, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/etc/passwd"}, posix, false},
        {{"kovont.exe", "-read", "-s/dev/hda1", "/etc/passwd", "passwd"}, posix, false},
        {{"kovont.exe", "-S/dev/hda1", "/"}, posix, false},
        {{"kovont.exe", "-s/hda1", "/"}, posix, false},
        // Device names that are no single folder name.
        {{"kovont.exe", "-s/dev/", "/"}, posix, false},
        {{"kovont.exe", "-s/dev/.", "/"}, posix, false},
        {{"kovont.exe", "-s/dev/..", "/"}, posix, false},
        {{"kovont.exe", "-s/dev/a/b", "/"}, posix, false},
        {{"kovont.exe", "-s/dev/..\\x", "/"}, posix, false},
        {{"kovont.exe", "-s/dev/C:", "/"}, win32, false},
        // Local names that are empty, reach another folder, or open a device on Win32.
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/etc/", ""}, posix, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/x", ".."}, posix, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/x", "../x"}, posix, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/x", "..\\x"}, win32, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/x", "C:x"}, win32, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/a:b", "a:b"}, win32, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/a:b", "a:b"}, posix, true},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/dev/nul", "nul"}, win32, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/x", "Com1.txt"}, win32, false},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/dev/nul", "nul"}, posix, true},
        {{"kovont.exe", "-READ", "-s/dev/hda1", "/x", "COM10"}, win32, true},
    };
    for (const row& r : rows) {
        tool_command command;
        std::string error;
        std::string joined;
        for (const std::string& arg : r.args) joined += "[" + arg + "]";
        EXPECT_EQ(parse_command(r.args, r.host, command, error), r.accepted) << joined;
        EXPECT_EQ(error.empty(), r.accepted) << joined;
    }
}

TEST(ParseCommand, CopyFormKeepsEachArgumentInItsPlace) {
    tool_command command;
    std::string error;
    ASSERT_TRUE(parse_command({"kovont.exe", "-READ", "-s/dev/hda1", "etc/passwd", "passwd"},
                              host_kind::posix, command, error));
    EXPECT_EQ(command.op, operation::copy);
    EXPECT_EQ(command.device, "hda1");
    EXPECT_EQ(command.device_path, "etc/passwd");
    EXPECT_EQ(command.local_name, "passwd");
}

TEST(SortByName, ComparesBytesAsUnsigned) {
    std::vector<entry_info> entries(5);
    const char* names[] = {"\xc3\xa9t\xc3\xa9", "b", "Z", "a", "ab"};
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i].name = names[i];
    sort_by_name(entries);
    std::vector<std::string> sorted;
    for (const entry_info& entry : entries) sorted.push_back(entry.name);
    EXPECT_EQ(sorted, (std::vector<std::string>{"Z", "a", "ab", "b", "\xc3\xa9t\xc3\xa9"}));
}

// A folder of the host refuses on Win32 the names the host's API would read as a drive or a
// wildcard; a POSIX host takes them as names.
TEST(FolderDevice, AcceptsTheNamesItsHostCanHold) {
    const std::unique_ptr<device> folder = open_folder_device(".");
    const bool win32 = this_host == host_kind::win32;
    const struct {
        const char* name;
        bool on_win32;
    } rows[] = {{"etc", true}, {"My Files", true}, {"a:b", false}, {"what?", false}, {"x|y", false}, {"*", false}};
    for (const auto& r : rows) EXPECT_EQ(folder->accepts(r.name), win32 ? r.on_win32 : true) << r.name;
}

}  // namespace
}  // namespace dirtool
