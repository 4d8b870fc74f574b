// The only place that fills the directory tool's command texts.
#pragma once

#include "frontend/kovox.h"

namespace kovox {

using command_text = char[command_buffer_size];

// The command that lists `directory_path` of the device into `temp_path`. False, with nothing to
// run, when a text would not reach the tool as exactly itself or the command does not fit.
[[nodiscard]] bool build_list_command(command_text& command, const char* directory_path,
                                      const char* temp_path);

// The command that copies `device_path` off the device into `local_name` in the current directory.
// False, with nothing to run, on the same grounds.
[[nodiscard]] bool build_copy_command(command_text& command, const char* device_path,
                                      const char* local_name);

}  // namespace kovox
