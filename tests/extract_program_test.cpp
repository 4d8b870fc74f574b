// kovox and the stand-in tool, both as built, copying files off devices made on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device_model.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

std::string contents_of(const std::string& path) {
    std::ifstream file(fs::u8path(path), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

class ExtractProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        work = fresh_folder("extract-" + name);
        device = work + "/devices/hda1";
        here = work + "/here";
        fs::create_directories(here);
        make_device(device, {folder("etc"), folder("My Documents"), folder("boot")});
        set_environment("KOVO_DEVICES", native_path(work + "/devices"));
        set_environment("TEMP", native_path(work));
        old_path = put_binary_directory_on_path();
    }
    void TearDown() override { set_environment("PATH", old_path); }

    void write_on_device(const std::string& path, const std::string& bytes) {
        std::ofstream(fs::u8path(device + "/" + path), std::ios::binary) << bytes;
    }

    run_result extract(const std::string& archive, const std::string& path) {
        return run_in(here, "kovox", {"-READ", archive, path});
    }

    std::string work, device, here, old_path;
};

TEST_F(ExtractProgram, CopiesFilesByteForByte) {
    std::string binary;
    for (int i = 0; i < 70000; ++i) binary += static_cast<char>((i * 7919) % 256);
    write_on_device("boot/vmlinuz-2.4", binary);
    write_on_device("My Documents/a letter.txt", "Dear caller,\r\n\x1a\n");
    write_on_device("etc/passwd", "root:x:0:0::/root:/bin/sh\n");

    const struct {
        std::string archive, path, local_name;
    } cases[] = {
        {"D:\\images\\HDA1.IMG", "/boot/vmlinuz-2.4", "vmlinuz-2.4"},
        {"hda1.img", "/My Documents/a letter.txt", "a letter.txt"},
        {"hda1", "etc/passwd", "passwd"},
    };
    for (const auto& c : cases) {
        const run_result result = extract(c.archive, c.path);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(contents_of(here + "/" + c.local_name), contents_of(device + "/" + c.path)) << c.path;
    }
    EXPECT_EQ(names_in(here).size(), 3u);
}

TEST_F(ExtractProgram, MissingFilesAndHostilePathsLeaveNothing) {
    write_on_device("etc/passwd", "root\n");
    const std::vector<std::string> paths = {
        "/etc/missing",
        "/etc/",
        "/etc/passwd\" & echo canary > canary.txt & \"",
        "/etc/passwd\"; touch canary.txt; \"",
        "/etc/$(touch canary.txt)",
        "/etc/`touch canary.txt`",
        "/etc/%PATH%",
        "/etc/passwd\ntouch canary.txt",
        "/" + std::string(300, 'x'),
    };
    for (const std::string& path : paths) {
        const run_result result = extract("hda1.img", path);
        EXPECT_EQ(result.status, 0) << path;
        EXPECT_EQ(result.output, "") << path;
        EXPECT_TRUE(names_in(here).empty()) << path;
    }
    EXPECT_FALSE(fs::exists(work + "/canary.txt"));
}

TEST_F(ExtractProgram, ReadOptionWithoutPathLists) {
    write_on_device("etc/passwd", "root\n");
    const run_result result = run_in(here, "kovox", {"-READ", "hda1.img"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find(" etc/passwd"), std::string::npos);
    EXPECT_TRUE(names_in(here).empty());
}

}  // namespace
}  // namespace whole_program
