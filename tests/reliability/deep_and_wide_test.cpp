// kovox and the real tool over a device nested as deep as kovox can name its directories, and over
// a folder of many entries: everything kovox can list comes out, exactly once.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "device_model.h"
#include "reliability_support.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

TEST_F(ReliabilityTest, NestedToTheLimit) {
    // A long temporary directory makes the deepest listing command far longer than the 299
    // characters commands once had.
    temp = work + "/temporary files, in a folder named at length to lengthen every command";
    fs::create_directories(temp);
    set_environment("TEMP", native_path(temp));
    set_environment("KOVO_DEVICES", native_path(work + "/devices"));
    put_binary_directory_on_path();

    // On the host the deepest folder's path reaches kovox's own limit. The Win32 tool reads host
    // paths of at most 259 characters, so there the device is nested only as deep as the tool can
    // read, and every folder is entered.
    const std::string device_folder = work + "/devices/hda1";
    const std::size_t longest =
        on_windows() ? 250 - native_path(device_folder).size() : longest_listed_path;
    std::vector<device_entry> made;
    std::string parent;  // relative to the root, "" or ending in "/"
    // Folders of one length down to the deepest, which takes what is left of the path.
    constexpr std::size_t level_length = sizeof "level 10 of the deep one" - 1;
    for (int level = 10; parent.size() + 2 + 2 * level_length <= longest; ++level) {
        const std::string name = "level " + std::to_string(level) + " of the deep one";
        made.push_back(folder(parent + name));
        made.push_back(file(parent + name + "/file", 1));
        parent += name + "/";
    }
    const std::string deepest = parent + std::string(longest - 2 - parent.size(), 'z');
    ASSERT_EQ(("/" + deepest + "/").size(), longest);
    const int depth = static_cast<int>(std::count(deepest.begin(), deepest.end(), '/')) + 1;
    EXPECT_GT(list_command_length("hda1", "/" + deepest + "/", native_path(temp), depth), old_command_width);
    made.insert(made.end(), {folder(deepest), file(deepest + "/f", 2), folder(deepest + "/x")});
    std::vector<device_entry> listed = made;
    if (!on_windows()) {
        // On the host "x" is printed but not entered, as is a folder one character longer than the
        // deepest; and the longest path kovox prints is listed beside one longer, left out.
        made.push_back(file(deepest + "/x/never listed", 1));
        made.push_back(folder(deepest + "z"));
        listed.push_back(made.back());
        made.push_back(file(deepest + "z/never listed", 1));
        const std::string printed = deepest + "/" + std::string(longest_printed_path - deepest.size() - 1, 'p');
        made.push_back(file(printed, 3));
        listed.push_back(made.back());
        made.push_back(file(printed + "q", 3));
    }
    make_device(device_folder, made);

    EXPECT_EQ(list_in(work), with_platform_line_ends(expected_listing(device_folder, listed)));
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});
}

TEST_F(ReliabilityTest, WideFolderListsCompletely) {
    // Under Wine every file costs far more to make and to list: 50,000 would take the Win32 suite
    // over a minute, so it lists 2,000, still many times what kovox ever holds at once.
    const int entries = on_windows() ? 2000 : 50000;
    set_environment("KOVO_DEVICES", native_path(work + "/devices"));
    put_binary_directory_on_path();

    std::vector<device_entry> made = {folder("a wide folder")};
    for (int i = 0; i < entries; ++i) {
        char name[40];
        std::snprintf(name, sizeof name, "a wide folder/entry %05d", i);
        made.push_back(file(name, static_cast<std::uint64_t>(i % 7)));
    }
    made.push_back(folder("after it"));
    made.push_back(file("after it/still listed", 1));
    make_device(work + "/devices/hda1", made);
    const std::string expected = expected_listing(work + "/devices/hda1", made);

    const std::string output = list_in(work);
    EXPECT_EQ(output.size(), with_platform_line_ends(expected).size());
    EXPECT_TRUE(output == with_platform_line_ends(expected)) << "the listings differ";
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});
    fs::remove_all(fs::u8path(work + "/devices"));  // spares the next run deleting it first
}

}  // namespace
}  // namespace whole_program
