// The platform layer on POSIX systems: /bin/sh stands in for the Windows command interpreter.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/quoting_rules.h"

namespace platform {
namespace {

// Bit 31 clear: the NT family, Windows NT 5.1.
constexpr std::uint32_t nt_version = 0x0a280105u;

// Like the Windows interpreter, look for a program in the current directory before the search path.
constexpr char current_directory_first[] = "PATH=.:\"$PATH\"; ";
constexpr std::size_t prefix_length = sizeof current_directory_first - 1;

}  // namespace

std::uint32_t get_version() { return nt_version; }

std::uint32_t get_environment_variable(const char* name, char* buffer, std::uint32_t size) {
    const char* const value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') {
        if (size > 0) buffer[0] = '\0';
        return 0;
    }
    const std::size_t length = std::strlen(value);
    if (length >= size) return static_cast<std::uint32_t>(length + 1);
    std::memcpy(buffer, value, length + 1);
    return static_cast<std::uint32_t>(length);
}

bool is_variable_set(std::string_view name) {
    // A name cut from a command text is never longer than the text.
    char terminated[max_command_length + 1];
    if (name.size() >= sizeof terminated) return true;
    std::memcpy(terminated, name.data(), name.size());
    terminated[name.size()] = '\0';
    return std::getenv(terminated) != nullptr;
}

bool get_temp_directory(char* buffer, std::size_t size) {
    const char* directory = std::getenv("TMPDIR");
    if (directory == nullptr || directory[0] == '\0') directory = "/tmp";
    std::size_t length = std::strlen(directory);
    while (length > 1 && directory[length - 1] == '/') --length;
    if (length >= size) return false;
    std::memcpy(buffer, directory, length);
    buffer[length] = '\0';
    return true;
}

char local_path_separator() { return '/'; }

bool can_quote(std::string_view text) { return can_quote_for(interpreter::posix_shell, text); }

bool can_pass_unquoted(std::string_view text) {
    return can_pass_unquoted_for(interpreter::posix_shell, text);
}

bool can_run_unchanged(const char* command_text) {
    return can_run_unchanged_for(interpreter::posix_shell, command_text, is_variable_set);
}

void run_command(const char* command_text) {
    const std::string_view command = command_text;
    if (command.size() > max_command_length) return;
    // The command as cmd.exe reads it: each quoted text goes to sh in single quotes, unchanged.
    char script[prefix_length + longest_posix_script(max_command_length) + 1];
    std::memcpy(script, current_directory_first, prefix_length);
    if (posix_script_for(command, script + prefix_length, sizeof script - prefix_length) == 0) return;
    // The exit status is the tool's business; what it wrote is all that counts.
    static_cast<void>(std::system(script));
}



bool delete_file(const char* path) { return ::unlink(path) == 0 || errno == ENOENT; }


// POSIX has no ANSI and OEM code pages: names are printed as the tool wrote them.
void ansi_to_oem(char* /*text*/) {}

}  // namespace platform
