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

bool is_variable_set(std::string_view name) {
    // A name cut from a command text is never longer than the text.
    char terminated[max_command_length + 1];
    if (name.size() >= sizeof terminated) return true;
    std::memcpy(terminated, name.data(), name.size());
    terminated[name.size()] = '\0';
    // With no room to store a value, a variable that is set reports the room it needs (1 for an
    // empty one); an unset one reports 0 and says so.
    return GetEnvironmentVariableA(terminated, nullptr, 0) != 0 ||
           GetLastError() != ERROR_ENVVAR_NOT_FOUND;
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

bool can_run_unchanged(const char* command_text) {
    return can_run_unchanged_for(interpreter::windows_cmd, command_text, is_variable_set);
}

void run_command(const char* command_text) {
    if (std::strlen(command_text) > max_command_length) return;
    // The exit status is the tool's business; what it wrote is all that counts.
    static_cast<void>(std::system(command_text));
}



bool delete_file(const char* path) { return _unlink(path) == 0 || errno == ENOENT; }


void ansi_to_oem(char* text) { CharToOemA(text, text); }

}  // namespace platform
