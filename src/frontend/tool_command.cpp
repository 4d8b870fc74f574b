#include "frontend/tool_command.h"

#include "frontend/bounded_format.h"
#include "platform/platform.h"

namespace kovox {

static_assert(max_command_length <= platform::max_command_length, "every command kovox builds runs");

namespace {

// A command the interpreter would change is not run: its text is emptied.
bool runs_unchanged(command_text& command) {
    if (platform::can_run_unchanged(command)) return true;
    command[0] = '\0';
    return false;
}

}  // namespace

bool build_list_command(command_text& command, const char* directory_path, const char* temp_path) {
    command[0] = '\0';
    if (!platform::can_quote(directory_path) || !platform::can_quote(temp_path)) return false;
    return format_bounded(command, sizeof command, list_command_format, settings.tool_exe,
                          settings.device, directory_path, temp_path) &&
           runs_unchanged(command);
}

bool build_copy_command(command_text& command, const char* device_path, const char* local_name) {
    command[0] = '\0';
    if (!platform::can_quote(device_path) || !platform::can_quote(local_name)) return false;
    return format_bounded(command, sizeof command, copy_command_format, settings.tool_exe,
                          read_option, settings.device, device_path, local_name) &&
           runs_unchanged(command);
}

}  // namespace kovox
