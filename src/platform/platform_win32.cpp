// The platform layer on 32-bit Windows: the runtime library and the kernel and user services.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/quoting_rules.h"

namespace platform {

std::uint32_t get_version() { return static_cast<std::uint32_t>(GetVersion()); }

std::uint32_t get_environment_variable(const char* name, char* buffer, std::uint32_t size) {
    const DWORD result = GetEnvironmentVariableA(name, buffer, size);
    // A value that does not fit is not stored, whatever the call left in the buffer.
    if (result >= size && size > 0) buffer[0] = '\0';
    return static_cast<std::uint32_t>(result);
}

bool get_temp_directory(char* buffer, std::size_t size) {
    const DWORD length = GetTempPathA(static_cast<DWORD>(size), buffer);
    if (length == 0 || length >= size) return false;
    std::size_t end = length;
    while (end > 1 && (buffer[end - 1] == '\\' || buffer[end - 1] == '/')) --end;
    buffer[end] = '\0';
    return true;
}

char local_path_separator() { return '\\'; }

bool can_quote(std::string_view text) { return can_quote_for(interpreter::windows_cmd, text); }

bool can_pass_unquoted(std::string_view text) {
    return can_pass_unquoted_for(interpreter::windows_cmd, text);
}

void run_command(const char* command_text) {
    if (std::strlen(command_text) > max_command_length) return;
    // The exit status is the tool's business; what it wrote is all that counts.
    static_cast<void>(std::system(command_text));
}



bool delete_file(const char* path) { return _unlink(path) == 0 || errno == ENOENT; }


void ansi_to_oem(char* text) { CharToOemA(text, text); }

}  // namespace platform
