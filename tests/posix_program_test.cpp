// What only the host build does: find the tool as the Windows interpreter would, in the current
// folder first and then along PATH.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "device_model.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

TEST(PosixProgram, ToolFromTheCurrentFolderFirstThenFromPath) {
    const std::string work = fresh_folder("tool-lookup");
    const std::vector<device_entry> entries = {folder("etc"), file("etc/passwd", 3)};
    make_device(work + "/devices/hda1", entries);
    set_environment("KOVO_DEVICES", work + "/devices");
    set_environment("TEMP", work);
    const std::string path = std::getenv("PATH");
    set_environment("PATH", binary_directory() + ":" + path);

    const std::string elsewhere = work + "/elsewhere";
    fs::create_directories(elsewhere);
    EXPECT_EQ(run_in(elsewhere, "kovox", {"hda1.img"}).output,
              expected_listing(work + "/devices/hda1", entries));

    // A tool in the current folder wins over the one on PATH.
    std::ofstream(elsewhere + "/kovont.exe")
        << "#!/bin/sh\nprintf '%-21s%9s     %s %s\\n' -rw-r--r-- 1 'Jan 02 03:04:05 2026' local\n";
    fs::permissions(elsewhere + "/kovont.exe", fs::perms::owner_exec, fs::perm_options::add);
    EXPECT_EQ(run_in(elsewhere, "kovox", {"hda1.img"}).output,
              "----------             1 Jan 02 03:04:05 2026 local\n");
    set_environment("PATH", path);
}

// A link inside a folder device is listed as a link and never followed: a path through one that
// leads to a folder outside the device finds nothing there, asked of the tool directly.
TEST(PosixProgram, ToolFindsNothingThroughALinkOutOfTheDevice) {
    const std::string work = fresh_folder("link-out");
    make_device(work + "/devices/hda1", {folder("etc")});
    fs::create_directories(work + "/outside/inner");
    std::ofstream(work + "/outside/secret") << "not on the device\n";
    fs::create_directory_symlink(work + "/outside", work + "/devices/hda1/escape");
    fs::create_directory_symlink(work + "/outside", work + "/devices/hda1/etc/escape");
    set_environment("KOVO_DEVICES", work + "/devices");
    const std::string tool = "kovont.exe";
    const struct {
        const char* path;
    } rows[] = {{"/escape/"}, {"/escape/inner/"}, {"/etc/escape/"}, {"etc/escape/inner"}};
    for (const auto& r : rows) {
        const run_result listed = run_in(work, tool, {"-s/dev/hda1", r.path});
        EXPECT_EQ(listed.output, std::string("Can't find ") + r.path + " on /dev/hda1\n") << r.path;
        EXPECT_EQ(listed.status, 1) << r.path;
    }
    const run_result copied = run_in(work, tool, {"-READ", "-s/dev/hda1", "/escape/secret", "secret"});
    EXPECT_EQ(copied.status, 1);
    EXPECT_FALSE(fs::exists(work + "/secret"));
}

}  // namespace
}  // namespace whole_program
