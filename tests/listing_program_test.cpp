// kovox and the stand-in tool, both as built, listing devices made on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device_model.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

// Windows programs end their lines with CR LF: each line must, and the text is compared without.
std::string without_carriage_returns(const std::string& output) {
    std::string text;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] == '\r') {
            EXPECT_TRUE(on_windows() && i + 1 < output.size() && output[i + 1] == '\n') << "at " << i;
            continue;
        }
        if (output[i] == '\n' && on_windows()) {
            EXPECT_TRUE(i > 0 && output[i - 1] == '\r') << "at " << i;
        }
        text += output[i];
    }
    return text;
}

class ListingProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        work = fresh_folder(name);
        devices = work + "/devices";
        temp = work + "/temp dir";
        fs::create_directories(temp);
        set_environment("KOVO_DEVICES", native_path(devices));
        set_environment("TEMP", native_path(temp));
        set_environment("TMP", "");
    }

    // Lists the device through kovox with the tool found in the current folder, as on Windows.
    std::string list(const std::vector<std::string>& arguments) {
        const run_result result = run_in(binary_directory(), "kovox", arguments);
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(fs::is_empty(temp)) << "temporary files left behind";
        return without_carriage_returns(result.output);
    }

    std::string work, devices, temp;
};

TEST_F(ListingProgram, GeneratedDeviceListsExactly) {
    std::vector<device_entry> entries = generated_device(60);
    if (!on_windows()) {
        // Wine shows links as their targets, Windows names are in the ANSI code page, and Windows
        // folder names ignore case.
        entries.push_back(folder("Dev"));
        entries.push_back(file("Dev/entered", 3));
        entries.push_back(folder("lib"));
        entries.push_back(file("lib/libc.so", 10));
        entries.push_back(link("lib64", "lib"));
        entries.push_back(folder("caf\xc3\xa9"));
        entries.push_back(file("caf\xc3\xa9/cr\xc3\xa8me", 5));
    }
    make_device(devices + "/hda1", entries);
    const std::string expected = expected_listing(devices + "/hda1", entries);
    ASSERT_GE(std::count(expected.begin(), expected.end(), '\n'), 100);
    EXPECT_EQ(list({"D:\\images\\HDA1.IMG"}), expected);
}

TEST_F(ListingProgram, EveryCommandLineFormThatLists) {
    const std::vector<device_entry> entries = {folder("etc"), file("etc/passwd", 3)};
    make_device(devices + "/hda1", entries);
    make_device(devices + "/-read", entries);
    const std::string expected = expected_listing(devices + "/hda1", entries);
    EXPECT_EQ(list({"hda1"}), expected);
    EXPECT_EQ(list({"-READ", "hda1.img"}), expected);
    EXPECT_EQ(list({"-READ"}), expected);
    EXPECT_EQ(list({"-read", "hda1.img", "x"}), expected);
    EXPECT_EQ(list({}), "");
    EXPECT_EQ(list({".img"}), "");
    EXPECT_EQ(list({"missing.img"}), "");
}

TEST_F(ListingProgram, NoToolPrintsNothing) {
    make_device(devices + "/hda1", {folder("etc")});
    const run_result result = run_in(work, "kovox", {"hda1.img"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
}

TEST_F(ListingProgram, TemporaryDirectoryThatDoesNotExist) {
    make_device(devices + "/hda1", {folder("etc")});
    set_environment("TEMP", native_path(work + "/no such folder"));
    const run_result result = run_in(binary_directory(), "kovox", {"hda1.img"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
}

}  // namespace
}  // namespace whole_program
