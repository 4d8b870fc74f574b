// The run-wide settings, the widths of every buffer and the two command texts of the directory tool.
#pragma once

#include <cstddef>

namespace kovox {

// Paths and names: 259 characters and a terminator.
constexpr std::size_t max_path_length = 259;
constexpr std::size_t path_buffer_size = max_path_length + 1;

// Command texts and lines read from the tool: 299 characters and a terminator.
constexpr std::size_t max_line_length = 299;
constexpr std::size_t line_buffer_size = max_line_length + 1;

// Size of the buffer the temporary directory is read into from the environment.
constexpr std::size_t environment_buffer_size = path_buffer_size;

// The tool's two builds; the first is chosen on the DOS-based family of Windows.
constexpr const char dos_tool_exe[] = "kovodos.exe";
constexpr const char nt_tool_exe[] = "kovont.exe";

// Lists one directory: tool, device, directory path, temporary file. The redirection target is quoted
// so that a temporary directory holding spaces works.
constexpr const char list_command_format[] = "%s -s/dev/%s \"%s\" > \"%s\"";
// Copies one file into the current directory: tool, "-READ", device, device path, local name.
constexpr const char copy_command_format[] = "%s %s -s/dev/%s \"%s\" \"%s\"";
constexpr const char read_option[] = "-READ";

// Filled once at start-up, before either operation runs, and only read afterwards.
struct run_settings {
    const char* tool_exe;
    char device[path_buffer_size];
    char temp_dir[path_buffer_size];
    bool read_mode;
};

extern run_settings settings;

// The program: fills `settings` from the platform and the command line and runs at most one operation.
// Returns the exit status, which is always 0.
int run_program(int argc, char** argv);

}  // namespace kovox
