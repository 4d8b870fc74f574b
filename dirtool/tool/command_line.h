// The tool's command line: its two forms, the device name and the device path. Nothing here touches
// the host's file system.
#pragma once

#include "base/entry.h"

#include <string>
#include <vector>

namespace dirtool {

enum class operation { list, copy };

struct tool_command {
    operation op = operation::list;
    std::string device;          // the NAME of "-s/dev/NAME"
    std::string device_path;
    std::string local_name;      // copy only
};

// Fills `command` from the whole argv; on wrong use returns false with a message in `error`.
bool parse_command(const std::vector<std::string>& args, host_kind host, tool_command& command,
                   std::string& error);

// Splits a device path ("/", "/etc/", "etc/passwd") into its components; on Win32 "\" separates
// them as "/" does. Returns false for a path that could reach outside the device or that names no
// entry in a plain way: "..", ".", empty components ("//"). What else a component may hold is the
// device's to say (device::accepts): a file system on a disk takes any name it stores.
bool split_device_path(const std::string& path, host_kind host,
                       std::vector<std::string>& components);

}  // namespace dirtool
