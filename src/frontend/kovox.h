// The run-wide settings, the widths of every buffer and the two command texts of the directory tool.
#pragma once

#include <cstddef>

namespace kovox {

// Paths and names: 259 characters and a terminator.
constexpr std::size_t max_path_length = 259;
constexpr std::size_t path_buffer_size = max_path_length + 1;

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

// The widest size the tool writes: a 64-bit byte count, 20 digits.
constexpr std::size_t max_size_digits = 20;

// Lines read from the tool: long enough for any entry whose name, and so whose display path, can
// fit. The mode, link count and owner take columns 0 to 20, the widest size follows, then the space
// after it, four spaces, the 20-character date and a space (26 in all), then a name of 259.
constexpr std::size_t max_line_length = 21 + max_size_digits + 26 + max_path_length;  // 326
constexpr std::size_t line_buffer_size = max_line_length + 1;

namespace detail {
constexpr std::size_t text_length(const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}
// The characters of a format that are not a "%s"; every conversion kovox's formats use is "%s".
constexpr std::size_t fixed_length(const char* format) {
    std::size_t length = 0;
    for (std::size_t i = 0; format[i] != '\0'; ++i) {
        if (format[i] == '%' && format[i + 1] == 's') {
            ++i;
        } else {
            ++length;
        }
    }
    return length;
}
constexpr std::size_t longer(std::size_t a, std::size_t b) { return a > b ? a : b; }
constexpr std::size_t longest_tool_exe = longer(text_length(dos_tool_exe), text_length(nt_tool_exe));
}  // namespace detail

// Command texts: long enough for either command with the longer tool name and every text in it
// (the device name, the directory path or device path, the temporary file path or local name) at
// 259 characters, so that every directory and file whose path fits is run. Listing: 16 + 11 +
// 3 x 259 = 804 characters; copying: 15 + 11 + 5 + 3 x 259 = 808.
constexpr std::size_t max_list_command_length =
    detail::fixed_length(list_command_format) + detail::longest_tool_exe + 3 * max_path_length;
constexpr std::size_t max_command_length = detail::longer(
    max_list_command_length, detail::fixed_length(copy_command_format) + detail::longest_tool_exe +
                                 detail::text_length(read_option) + 3 * max_path_length);
constexpr std::size_t command_buffer_size = max_command_length + 1;
static_assert(max_list_command_length == 804 && max_command_length == 808);

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
