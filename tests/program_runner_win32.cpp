#include <windows.h>

#include <fstream>
#include <sstream>

#include "program_runner.h"
#include "windows/process.h"

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

namespace {

std::string read_whole_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

// The program is started directly, not through the interpreter, so that the arguments reach it
// exactly as given, hostile ones included; kovox then runs the tool through the interpreter.
run_result run_in(const std::string& directory, const std::string& program,
                  const std::vector<std::string>& arguments) {
    const std::string program_path = native_path(binary_directory() + "/" + program) + ".exe";
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string output_file =
        temp + std::string("kovox-output-") + std::to_string(GetCurrentProcessId());
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output = CreateFileA(output_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    run_result result;
    result.status = windows_process::run_and_wait(program_path, arguments, native_path(directory), output);
    CloseHandle(output);
    result.output = read_whole_file(output_file);
    DeleteFileA(output_file.c_str());
    return result;
}

std::string put_binary_directory_on_path() {
    char path[32767];
    const DWORD length = GetEnvironmentVariableA("PATH", path, sizeof path);
    const std::string old_path(path, length < sizeof path ? length : 0);
    SetEnvironmentVariableA("PATH", (native_path(binary_directory()) + ";" + old_path).c_str());
    return old_path;
}

}  // namespace whole_program

namespace whole_program {

namespace {

// The tests write names in UTF-8; the wide API reads every name Windows can hold.
std::wstring wide_text(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

}  // namespace

entry_facts facts_of(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide_text(native_path(path)).c_str(), GetFileExInfoStandard, &data)) return {};
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const unsigned long long size =
        directory ? 0 : (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // File times count 100 ns steps from 1601; Unix time starts 11644473600 s later.
    const unsigned long long ticks =
        (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime;
    return {size, static_cast<long long>(ticks / 10000000ULL) - 11644473600LL};
}

// The tool reads names in the ANSI code page, and kovox prints them in the OEM code page.
std::string as_printed(const std::string& text) {
    const std::wstring wide = wide_text(text);
    const int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string printed(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), printed.data(), length, nullptr,
                        nullptr);
    CharToOemBuffA(printed.data(), printed.data(), static_cast<DWORD>(printed.size()));
    return printed;
}

}  // namespace whole_program
