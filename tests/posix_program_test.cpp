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

}  // namespace
}  // namespace whole_program
