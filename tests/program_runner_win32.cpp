#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "program_runner.h"

namespace whole_program {

bool on_windows() { return true; }

std::string binary_directory() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self(path, length);
    return self.substr(0, self.find_last_of("\\/"));
}

std::string native_path(const std::string& directory) {
    std::string path = directory;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

void set_environment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

run_result run_in(const std::string& directory, const std::string& program,
                  const std::vector<std::string>& arguments) {
    std::string command_line = "\"" + native_path(binary_directory() + "/" + program) + ".exe\"";
    for (const std::string& argument : arguments) command_line += " \"" + argument + "\"";
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string output_file = temp + std::string("kovox-output-") + std::to_string(GetCurrentProcessId());
    const std::string script = "cd /d \"" + native_path(directory) + "\" && " + command_line +
                               " > \"" + output_file + "\"";
    run_result result;
    result.status = std::system(script.c_str());
    std::ifstream output(output_file, std::ios::binary);
    std::ostringstream text;
    text << output.rdbuf();
    result.output = text.str();
    output.close();
    std::remove(output_file.c_str());
    return result;
}

}  // namespace whole_program

namespace whole_program {

entry_facts facts_of(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(native_path(path).c_str(), GetFileExInfoStandard, &data)) return {};
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const unsigned long long size =
        directory ? 0 : (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // File times count 100 ns steps from 1601; Unix time starts 11644473600 s later.
    const unsigned long long ticks =
        (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime;
    return {size, static_cast<long long>(ticks / 10000000ULL) - 11644473600LL};
}

}  // namespace whole_program
