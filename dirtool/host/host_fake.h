// A host held in memory, for unit tests of the layers above the host: a test links host_fake.cpp
// in place of the host's own files, fills the fake with folders and files, and reads back what was
// asked of it. It behaves as a Windows host, so that the Windows-only ways (the PC's own disks, the
// Win32 name rules) are tried on any machine.
#pragma once

#include <string>
#include <vector>

namespace dirtool {
namespace fake_host {

void clear();
void add_folder(const std::string& path);
void add_file(const std::string& path, const std::string& bytes);
// The bytes of a file the fake holds, such as a copy's target; empty for none.
std::string file(const std::string& path);

// What was asked of the host, in order: "open PATH" for an image file, "disk N" for a PC disk,
// "copy PATH" for a copy's target.
const std::vector<std::string>& requests();

}  // namespace fake_host
}  // namespace dirtool
