// A stand-in directory tool: serves the folders below a "devices" folder as disk devices.
//
//   kovont.exe -s/dev/NAME "PATH"                         lists one directory of the device
//   kovont.exe -READ -s/dev/NAME "DEVICEPATH" "LOCALNAME"  copies one file into the current folder
//
// /dev/NAME is the folder NAME in $KOVO_DEVICES, or else in the folder "devices" beside this
// executable. Symbolic links on the device are listed but never followed, so no path reaches
// outside the device folder.
//
// Exit status: 0 when the listing or the copy is complete; 1 when the path is not found or the
// host fails; 2 for wrong use and for refused names and paths. A listing that cannot be given
// writes a "Can't find" line, so that a caller reading standard output lists nothing.

#include "device_fs.h"
#include "dirtool_core.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace dirtool {
namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_refused = 2;

std::string program_name = "kovont";

void complain(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", program_name.c_str(), text.c_str());
}

bool write_output(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

std::string cant_find_line(const tool_command& command) {
    return "Can't find " + command.device_path + " on /dev/" + command.device + "\n";
}

bool devices_folder(std::string& folder) {
    const char* configured = std::getenv("KOVO_DEVICES");
    if (configured != nullptr && *configured != '\0') {
        folder = configured;
        return true;
    }
    if (!executable_folder(folder)) return false;
    folder += "/devices";
    return true;
}

// Looks the components up one at a time below the device's folder. Every step but the last
// must be a real folder: a link is never followed. The device folder itself may be a link.
bool find_entry(const std::string& device_root, const std::vector<std::string>& components,
                std::string& host_path, entry_info& entry) {
    host_path = device_root;
    if (!stat_entry(host_path, true, entry)) return false;
    for (const std::string& name : components) {
        if (entry.type != 'd') return false;
        host_path += "/" + name;
        if (!stat_entry(host_path, false, entry)) return false;
    }
    return true;
}

int list_directory(const tool_command& command, const std::string& device_root) {
    std::vector<std::string> components;
    if (!split_device_path(command.device_path, this_host, components)) {
        complain("refusing path \"" + command.device_path + "\"");
        write_output(cant_find_line(command));
        return exit_refused;
    }
    std::string folder;
    entry_info self;
    if (!find_entry(device_root, components, folder, self) || self.type != 'd') {
        write_output(cant_find_line(command));
        return exit_failed;
    }
    // ".." of the device root is the root itself, as on a mounted file system.
    entry_info parent = self;
    if (!components.empty()) {
        std::string parent_folder;
        const std::vector<std::string> parent_components(components.begin(), components.end() - 1);
        find_entry(device_root, parent_components, parent_folder, parent);
    }
    std::vector<entry_info> entries;
    std::string error;
    if (!read_folder(folder, entries, error)) {
        complain(error);
        write_output(cant_find_line(command));
        return exit_failed;
    }
    sort_by_name(entries);
    self.name = ".";
    parent.name = "..";
    entries.insert(entries.begin(), {self, parent});

    std::string text;
    for (const entry_info& entry : entries) text += listing_line(entry) + "\n";
    std::uint64_t free_bytes = 0;
    text += free_space(folder, free_bytes) ? "Disk space: " + std::to_string(free_bytes / 1024) + " KB free\n"
                                           : "Disk space: unknown\n";
    if (!write_output(text)) {
        complain("cannot write the listing");
        return exit_failed;
    }
    return exit_ok;
}

int copy_file_out(const tool_command& command, const std::string& device_root) {
    std::vector<std::string> components;
    if (!split_device_path(command.device_path, this_host, components)) {
        complain("refusing path \"" + command.device_path + "\"");
        return exit_refused;
    }
    std::string source;
    entry_info entry;
    if (components.empty() || !find_entry(device_root, components, source, entry)) {
        complain("Can't find " + command.device_path + " on /dev/" + command.device);
        return exit_failed;
    }
    if (entry.type != '-') {
        complain(command.device_path + " is not a regular file");
        return exit_failed;
    }
    std::string error;
    if (!copy_regular_file(source, command.local_name, error)) {
        complain(error);
        return exit_failed;
    }
    return exit_ok;
}

int run(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    if (!args.empty()) {
        program_name = args[0].substr(args[0].find_last_of("/\\") + 1);
    }
    tool_command command;
    std::string error;
    if (!parse_command(args, this_host, command, error)) {
        complain(error);
        return exit_refused;
    }
    std::string devices;
    if (!devices_folder(devices)) {
        complain("cannot find the devices folder; set KOVO_DEVICES");
        return exit_failed;
    }
    const std::string device_root = devices + "/" + command.device;
    return command.op == operation::list ? list_directory(command, device_root)
                                         : copy_file_out(command, device_root);
}

}  // namespace
}  // namespace dirtool

int main(int argc, char** argv) {
    return dirtool::run(argc, argv);
}
