#include "extract/extract.h"

#include <cstring>
#include <string_view>

#include "frontend/kovox.h"
#include "frontend/path_names.h"
#include "frontend/tool_command.h"
#include "platform/platform.h"

namespace kovox {

void extract_file(const char* device_path) {
    // A path cut to fit would copy another file, so one that does not fit runs nothing.
    const std::string_view path = device_path;
    if (path.size() > max_path_length) return;

    const std::string_view name = local_file_name(path, platform::local_path_separator());
    char local_name[path_buffer_size];
    std::memcpy(local_name, name.data(), name.size());
    local_name[name.size()] = '\0';

    command_text command;
    if (build_copy_command(command, device_path, local_name)) platform::run_command(command);
}

}  // namespace kovox
