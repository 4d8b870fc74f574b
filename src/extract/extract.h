// Has the directory tool copy one file off the device into the current directory.
#pragma once

namespace kovox {

// Copies `device_path` (as the caller gave it) into the current directory under its last component.
void extract_file(const char* device_path);

}  // namespace kovox
