// What the stand-in directory tool needs of the host's file system. Host paths use "/" between
// components on every host; the Win32 API accepts it as well as the backslash.
#pragma once

#include "dirtool_core.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {

extern const host_kind this_host;

// The folder that holds the running executable, without a trailing separator.
bool executable_folder(std::string& folder);

// The entry at `path`; a symbolic link is followed only when `follow_link` is set. `name` is
// left empty.
bool stat_entry(const std::string& path, bool follow_link, entry_info& entry);

// Every entry of the folder except "." and "..", in no particular order.
bool read_folder(const std::string& folder, std::vector<entry_info>& entries, std::string& error);

// Free space of the file system that holds `folder`, in bytes available to this user.
bool free_space(const std::string& folder, std::uint64_t& bytes);

// Copies the regular file `source` to `target`, byte for byte, replacing `target`. Runs of
// zeros become holes where the host supports them, so sparse files stay fast and small. On
// failure no partial `target` is left behind.
bool copy_regular_file(const std::string& source, const std::string& target, std::string& error);

}  // namespace dirtool
