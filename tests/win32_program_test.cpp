// What only the Win32 build does: pick the tool build for the DOS-based family of Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "device_model.h"
#include "program_runner.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

constexpr char app_defaults[] = "Software\\Wine\\AppDefaults\\kovox.exe";

// Wine reports the Windows version set for one program in its registry.
void report_version_to_kovox(const char* version) {
    if (version == nullptr) {
        RegDeleteKeyA(HKEY_CURRENT_USER, app_defaults);
        return;
    }
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, app_defaults, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>(std::strlen(version) + 1));
    RegCloseKey(key);
}

TEST(Win32Program, DosFamilyRunsTheDosBuildOfTheTool) {
    const std::string work = fresh_folder("dos-family");
    const std::vector<device_entry> entries = {folder("etc"), file("etc/passwd", 3)};
    make_device(work + "/devices/hda1", entries);
    set_environment("KOVO_DEVICES", native_path(work + "/devices"));
    set_environment("TEMP", native_path(work));
    // Only the DOS build is at hand, in the current folder.
    const std::string tools = work + "/tools";
    fs::create_directories(tools);
    fs::copy_file(binary_directory() + "/kovodos.exe", tools + "/kovodos.exe");

    report_version_to_kovox("win98");
    const run_result dos = run_in(tools, "kovox", {"hda1.img"});
    report_version_to_kovox(nullptr);
    const run_result nt = run_in(tools, "kovox", {"hda1.img"});

    std::string expected = expected_listing(work + "/devices/hda1", entries);
    for (std::size_t at = expected.find('\n'); at != std::string::npos; at = expected.find('\n', at + 2)) {
        expected.insert(at, "\r");
    }
    EXPECT_EQ(dos.output, expected);
    EXPECT_EQ(dos.status, 0);
    EXPECT_EQ(nt.output, "");
    EXPECT_EQ(nt.status, 0);
}

TEST(Win32Program, WildcardArgumentsAreExpandedToLocalFileNames) {
    const std::string work = fresh_folder("wildcards");
    const std::vector<device_entry> entries = {file("readme", 3)};
    make_device(work + "/devices/hda1", entries);
    set_environment("KOVO_DEVICES", native_path(work + "/devices"));
    set_environment("TEMP", native_path(work));
    std::ofstream(work + "/HDA1.IMG") << "";

    const std::string old_path = put_binary_directory_on_path();
    const run_result result = run_in(work, "kovox", {"*.img"});
    set_environment("PATH", old_path);
    EXPECT_NE(result.output.find(" readme\r\n"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace whole_program
