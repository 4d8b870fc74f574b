#include "listing/walk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frontend/test_settings.h"
#include "platform/platform_fake.h"

namespace kovox {
namespace {

using platform::fake::tool_entry;
using platform::fake::tool_listing;

constexpr char date[] = "Jan 02 03:04:05 2026";

std::string dir_line(const std::string& path) {
    return std::string("d---------          4096 ") + date + " " + path + "\n";
}
std::string file_line(const std::string& path, const std::string& mode = "----------") {
    return mode + "             7 " + date + " " + path + "\n";
}
tool_entry dir(const std::string& name) { return {"drwxr-xr-x", "4096", name}; }
tool_entry file(const std::string& name) { return {"-rw-r--r--", "7", name}; }

std::string list_command(const std::string& path, int depth) {
    char number[8];
    std::snprintf(number, sizeof number, "%03d", depth);
    return "kovont.exe -s/dev/hda1 \"" + path + "\" > \"/tmp/kovoxtmp." + number + "\"";
}

class ListDir : public ::testing::Test {
protected:
    void SetUp() override {
        use_test_settings();
    }

    // Lists from the root and checks what every walk must leave: no file open, none left behind,
    // every line flushed as it was written.
    std::string list_root() {
        list_dir("/", 0);
        EXPECT_EQ(fake.open_files, 0);
        EXPECT_TRUE(fake.files.empty());
        EXPECT_EQ(fake.flushes, fake.lines_written);
        return fake.output;
    }

    platform::fake::state& fake = platform::fake::reset();
};

TEST_F(ListDir, DepthFirstWithRootDevLeftClosed) {
    fake.listings["/"] = tool_listing({dir("Dev"), dir("dev"), dir("etc"), file("readme"),
                                       {"lrwxrwxrwx", "7", "lib64"}, dir("usr")});
    fake.listings["/Dev/"] = tool_listing({file("x")});
    fake.listings["/dev/"] = tool_listing({file("never listed")});
    fake.listings["/etc/"] = tool_listing({file("passwd"), {"-r--r--r--", "7", "shadow"}});
    fake.listings["/usr/"] = tool_listing({dir("dev"), dir("lib")});
    fake.listings["/usr/dev/"] = tool_listing({file("null")});
    fake.listings["/usr/lib/"] = tool_listing({});

    EXPECT_EQ(list_root(), dir_line("Dev") + file_line("Dev/x") + dir_line("dev") + dir_line("etc") +
                               file_line("etc/passwd") + file_line("etc/shadow", "-r--------") +
                               file_line("readme") + file_line("lib64") + dir_line("usr") +
                               dir_line("usr/dev") + file_line("usr/dev/null") +
                               dir_line("usr/lib"));
    EXPECT_EQ(fake.commands,
              (std::vector<std::string>{list_command("/", 0), list_command("/Dev/", 1),
                                        list_command("/etc/", 1), list_command("/usr/", 1),
                                        list_command("/usr/dev/", 2), list_command("/usr/lib/", 2)}));
}

TEST_F(ListDir, EachDepthKeepsItsOwnFileOpenUntilItsSubdirectoriesAreDone) {
    fake.listings["/"] = tool_listing({dir("a")});
    fake.listings["/a/"] = tool_listing({dir("b"), dir("c")});
    fake.listings["/a/b/"] = tool_listing({});
    fake.listings["/a/c/"] = tool_listing({});
    list_root();
    const std::string t0 = "/tmp/kovoxtmp.000", t1 = "/tmp/kovoxtmp.001", t2 = "/tmp/kovoxtmp.002";
    EXPECT_EQ(fake.events,
              (std::vector<std::string>{
                  "run " + list_command("/", 0), "open " + t0,
                  "run " + list_command("/a/", 1), "open " + t1,
                  "run " + list_command("/a/b/", 2), "open " + t2, "close " + t2, "delete " + t2,
                  "run " + list_command("/a/c/", 2), "open " + t2, "close " + t2, "delete " + t2,
                  "close " + t1, "delete " + t1, "close " + t0, "delete " + t0}));
    EXPECT_EQ(fake.most_open_files, 3);
}

TEST_F(ListDir, TemporaryFileNamesCarryTheDepth) {
    std::string path = "/";
    for (int depth = 0; depth < 13; ++depth) {
        fake.listings[path] = tool_listing({dir("d")});
        path += "d/";
    }
    list_root();
    EXPECT_EQ(fake.commands[12], list_command("/d/d/d/d/d/d/d/d/d/d/d/d/", 12));
    EXPECT_NE(fake.commands[12].find("kovoxtmp.012\""), std::string::npos);
}

TEST_F(ListDir, ListingTextsThatYieldLittle) {
    const std::string entry_line = platform::fake::tool_line(file("a"));
    const struct {
        std::string text;
        std::string output;
    } cases[] = {
        {"", ""},
        {tool_listing({}), ""},
        {entry_line + entry_line, file_line("a") + file_line("a")},  // no end line
        {entry_line + "Can't find /x/\n" + entry_line, file_line("a")},
        {"Can't find /\n", ""},
        // Lines without fields, overlong lines and empty names are left out; the rest still count.
        {"\n" + std::string(40, 'x') + "\n" + entry_line, file_line("a")},
        {std::string(400, 'x') + "\n" + entry_line, file_line("a")},
        {platform::fake::tool_line(dir("")) + entry_line, file_line("a")},
    };
    for (const auto& c : cases) {
        fake = platform::fake::state{};
        fake.listings["/"] = c.text;
        EXPECT_EQ(list_root(), c.output) << c.text;
        EXPECT_EQ(fake.commands.size(), 1u);
    }
}

TEST_F(ListDir, FailedRedirectionListsNothingAndNeverReadsAStaleFile) {
    fake.redirection_works = false;
    fake.files["/tmp/kovoxtmp.000"] = tool_listing({file("stale")});
    fake.listings["/"] = tool_listing({file("fresh")});
    list_dir("/", 0);
    EXPECT_EQ(fake.output, "");
    EXPECT_EQ(fake.events.front(), "delete /tmp/kovoxtmp.000");
}

TEST_F(ListDir, TemporaryFileThatCannotBeReplacedIsNeverRead) {
    fake.files["/tmp/kovoxtmp.000"] = tool_listing({file("planted")});
    fake.held_files.insert("/tmp/kovoxtmp.000");
    fake.listings["/"] = tool_listing({file("fresh")});
    list_dir("/", 0);
    EXPECT_EQ(fake.output, "");
    EXPECT_TRUE(fake.commands.empty());
    EXPECT_EQ(fake.open_files, 0);
}

TEST_F(ListDir, UnsafeDirectoryNamesArePrintedButNotEntered) {
    const std::vector<std::string> unsafe = {"a\"b", "tab\there", "cr\rhere", "a/b"};
    std::vector<tool_entry> entries;
    std::string expected;
    for (const std::string& name : unsafe) {
        entries.push_back(dir(name));
        expected += dir_line(name);
    }
    const std::string safe = "%PATH% $(x) `y` back\\slash it's & | < > ^ ; fine in POSIX quotes";
    entries.push_back(dir(safe));
    expected += dir_line(safe);
    fake.listings["/"] = tool_listing(entries);
    EXPECT_EQ(list_root(), expected);
    EXPECT_EQ(fake.commands.size(), 2u);
    EXPECT_EQ(fake.commands[1], list_command("/" + safe + "/", 1));
}

TEST_F(ListDir, WindowsInterpreterRules) {
    fake.rules = platform::interpreter::windows_cmd;
    fake.separator = '\\';
    std::strcpy(settings.temp_dir, "C:\\Temp dir");
    fake.environment["PATH"] = "C:\\windows";
    fake.listings["/"] = tool_listing({dir("%PATH%"), dir("%cd%"), dir("100%"), dir("a%20b%20c"),
                                       dir("ends\\"), dir("$(x) `y` a\\b")});
    list_root();
    EXPECT_EQ(fake.commands, (std::vector<std::string>{
                                 "kovont.exe -s/dev/hda1 \"/\" > \"C:\\Temp dir\\kovoxtmp.000\"",
                                 "kovont.exe -s/dev/hda1 \"/100%/\" > \"C:\\Temp dir\\kovoxtmp.001\"",
                                 "kovont.exe -s/dev/hda1 \"/a%20b%20c/\" > \"C:\\Temp dir\\kovoxtmp.001\"",
                                 "kovont.exe -s/dev/hda1 \"/ends\\/\" > \"C:\\Temp dir\\kovoxtmp.001\"",
                                 "kovont.exe -s/dev/hda1 \"/$(x) `y` a\\b/\" > \"C:\\Temp dir\\kovoxtmp.001\""}));
}

TEST_F(ListDir, DisplayPathAtTheLengthLimit) {
    // "/" + 99 times "d/" is 199 characters, so a display path of this directory holds 198 of them.
    std::string path = "/";
    for (int i = 0; i < 99; ++i) path += "d/";
    const std::string fits(61, 'f'), too_long(62, 'g');
    fake.listings[path] = tool_listing({file(fits), file(too_long), dir(fits), dir("h")});
    list_dir(path.c_str(), 99);
    const std::string shown = path.substr(1);
    EXPECT_EQ(fake.output, file_line(shown + fits) + dir_line(shown + fits) + dir_line(shown + "h"));
    // The long directory's own path would not fit: it is printed but not entered.
    EXPECT_EQ(fake.commands, (std::vector<std::string>{list_command(path, 99), list_command(path + "h/", 100)}));
}

TEST_F(ListDir, LongestCommandTextIsRun) {
    // The longer tool name, and the device name, directory path and temporary file path at 259.
    settings.tool_exe = dos_tool_exe;
    const std::string device(max_path_length, 'v');
    const std::string temp_dir(max_path_length - std::strlen("/kovoxtmp.001"), 't');
    std::strcpy(settings.device, device.c_str());
    std::strcpy(settings.temp_dir, temp_dir.c_str());
    const std::string path = "/" + std::string(max_path_length - 2, 'p') + "/";
    list_dir(path.c_str(), 1);
    EXPECT_EQ(fake.commands, (std::vector<std::string>{"kovodos.exe -s/dev/" + device + " \"" + path +
                                                       "\" > \"" + temp_dir + "/kovoxtmp.001\""}));
    EXPECT_EQ(fake.commands[0].size(), max_list_command_length);
}

TEST_F(ListDir, OnlyThePrintedPathIsConvertedToTheOemCodePage) {
    fake.listings["/"] = tool_listing({dir("caf\xe9")});
    fake.listings["/caf\xe9/"] = tool_listing({file("\xe9t\xe9")});
    EXPECT_EQ(list_root(), dir_line("caf\x82") + file_line("caf\x82/\x82t\x82"));
    EXPECT_EQ(fake.commands[1], list_command("/caf\xe9/", 1));
}

TEST_F(ListDir, TemporaryDirectoryTooLongListsNothing) {
    std::memset(settings.temp_dir, 't', max_path_length - 5);
    settings.temp_dir[max_path_length - 5] = '\0';
    fake.listings["/"] = tool_listing({file("a")});
    EXPECT_EQ(list_root(), "");
    EXPECT_TRUE(fake.commands.empty());
}

}  // namespace
}  // namespace kovox
