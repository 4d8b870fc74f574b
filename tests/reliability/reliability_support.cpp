#include "reliability_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "device_model.h"

namespace whole_program {

namespace fs = std::filesystem;

namespace {

constexpr char date[] = "Jan 02 03:04:05 2026";

std::string right_justified(const std::string& text, std::size_t width) {
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

}  // namespace

std::string with_platform_line_ends(const std::string& text) {
    if (!on_windows()) return text;
    std::string converted;
    for (const char c : text) {
        if (c == '\n') converted += '\r';
        converted += c;
    }
    return converted;
}

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::u8path(folder))) {
        names.push_back(entry.path().filename().u8string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void reset_folder(const std::string& folder) {
    fs::remove_all(fs::u8path(folder));
    fs::create_directories(fs::u8path(folder));
}

std::size_t list_command_length(const std::string& device, const std::string& path,
                                const std::string& temp_dir, int depth) {
    // kovont.exe -s/dev/DEVICE "PATH" > "TEMP/kovoxtmp.NNN"
    char number[16];
    std::snprintf(number, sizeof number, "%03d", depth);
    return ("kovont.exe -s/dev/" + device + " \"" + path + "\" > \"" + temp_dir + "/kovoxtmp." + number + "\"").size();
}

std::string tool_line(const std::string& mode, const std::string& size, const std::string& name) {
    return mode + "   1 root  " + right_justified(size, 9) + "     " + date + " " + name + "\n";
}
std::string tool_file(const std::string& name) { return tool_line("-rw-r--r--", "7", name); }
std::string tool_folder(const std::string& name) { return tool_line("drwxr-xr-x", "4096", name); }
const std::string tool_end_line = "Disk space: 1234 KB free\n";

std::string printed_line(const std::string& mode, const std::string& size, const std::string& path) {
    return mode + " " + right_justified(size, 13) + " " + date + " " + path + "\n";
}
std::string printed_file(const std::string& path) { return printed_line("----------", "7", path); }
std::string printed_folder(const std::string& path) { return printed_line("d---------", "4096", path); }

void ReliabilityTest::SetUp() {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    work = fresh_folder("reliability-" + name);
    temp = work + "/temp";
    fs::create_directories(temp);
    set_environment("TEMP", native_path(temp));
    set_environment("TMP", "");
    // A test that puts the real tool on PATH must not hand it to the next one.
    static const std::string original_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    set_environment("PATH", original_path);
}

std::string ReliabilityTest::list_in(const std::string& directory, const std::string& archive) {
    const run_result result = run_in(directory, "kovox", {archive});
    EXPECT_EQ(result.status, 0);
    return result.output;
}

void BrokenToolTest::SetUp() {
    ReliabilityTest::SetUp();
    texts = work + "/texts";
    set_environment("BROKEN_TOOL_TEXTS", native_path(texts));
}

std::string BrokenToolTest::list_with(const std::map<std::string, std::string>& texts_by_key,
                                      int status) {
    reset_folder(texts);
    for (const auto& [key, text] : texts_by_key) {
        std::ofstream(texts + "/" + key, std::ios::binary) << text;
    }
    set_environment("BROKEN_TOOL_STATUS", std::to_string(status));
    return list_in(binary_directory() + "/broken_tool");
}

}  // namespace whole_program
