// Starting a Windows program with an exact argument list, for the Windows helpers and tests that
// run kovox or the tool themselves. Header-only: each user is one small program.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace windows_process {

// One argument as the runtime's argument parser reads it back: quoted, with every double quote
// and the backslashes before it escaped.
inline std::string quoted_argument(const std::string& argument) {
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

// Runs `program` with `arguments` in `directory` (the current folder when empty), its standard
// output going to `output` (this process's own when null), and waits for it. Returns its exit
// status, or -1 when it could not be started.
inline int run_and_wait(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& directory = "", HANDLE output = nullptr) {
    std::string command_line = quoted_argument(program);
    for (const std::string& argument : arguments) command_line += " " + quoted_argument(argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output != nullptr ? output : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

// The folder that holds the running program, without a trailing separator.
inline std::string own_folder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self(path, length < MAX_PATH ? length : 0);
    const std::size_t separator = self.find_last_of("\\/");
    return separator == std::string::npos ? "." : self.substr(0, separator);
}

}  // namespace windows_process
