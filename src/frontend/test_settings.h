// The settings the unit tests of both operations start from, as start-up would fill them.
#pragma once

#include <cstring>

#include "frontend/kovox.h"

namespace kovox {

inline void use_test_settings() {
    settings = run_settings{};
    settings.tool_exe = nt_tool_exe;
    std::strcpy(settings.device, "hda1");
    std::strcpy(settings.temp_dir, "/tmp");
}

}  // namespace kovox
