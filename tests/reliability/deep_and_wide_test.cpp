// kovox and the real tool over a device nested as deep as kovox can name its directories, and over
// a folder of many entries: everything kovox can list comes out, exactly once.
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
    // On the host a relative temporary directory, resolved in kovox's current folder, leaves nearly
    // the whole command text to the path: the deepest folder's path reaches 255 characters. The
    // Win32 tool reads host paths of at most 259 characters, so there the temporary directory is
    // longer than the device folder's path, and kovox's own limit is still the one reached.
    const std::string temp_dir = on_windows() ? native_path(work + "/temporary files") : "t";
    temp = on_windows() ? work + "/temporary files" : work + "/t";
    fs::create_directories(temp);
    set_environment("TEMP", temp_dir);
    set_environment("KOVO_DEVICES", native_path(work + "/devices"));
    put_binary_directory_on_path();

    const std::size_t longest = longest_listable_path("hda1", temp_dir);
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
    // The deepest folder's listing command fills the command text to its last character; a folder
    // one character longer is printed but not entered.
    const std::string deepest = parent + std::string(longest - 2 - parent.size(), 'z');
    ASSERT_EQ(("/" + deepest + "/").size(), longest);
    made.push_back(folder(deepest));
    made.push_back(folder(deepest + "z"));
    std::vector<device_entry> listed = made;
    made.push_back(file(deepest + "z/never listed", 1));
    const std::vector<device_entry> in_deepest = {file(deepest + "/f", 2), folder(deepest + "/x")};
    made.insert(made.end(), in_deepest.begin(), in_deepest.end());
    listed.insert(listed.end(), in_deepest.begin(), in_deepest.end());
    made.push_back(file(deepest + "/x/never listed", 1));
    if (!on_windows()) {
        // The longest path kovox prints, and one longer, which it leaves out. The Win32 tool cannot
        // read host paths this long.
        const std::string printed = deepest + "/" + std::string(longest_printed_path - deepest.size() - 1, 'p');
        made.push_back(file(printed, 3));
        listed.push_back(made.back());
        made.push_back(file(printed + "q", 3));
    }
    make_device(work + "/devices/hda1", made);

    EXPECT_EQ(list_in(work), with_platform_line_ends(expected_listing(work + "/devices/hda1", listed)));
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
