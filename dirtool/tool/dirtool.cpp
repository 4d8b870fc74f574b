// A stand-in directory tool: serves the disk images and folders below a "devices" folder as disk
// devices.
//
//   kovont.exe -s/dev/NAME "PATH"                         lists one directory of the device
//   kovont.exe -READ -s/dev/NAME "DEVICEPATH" "LOCALNAME"  copies one file into the current folder
//
// /dev/NAME is the ext2/ext3/ext4 image NAME.img in $KOVO_DEVICES, or else in the folder "devices"
// beside this executable, when that file exists; otherwise the folder NAME there. When
// $KOVO_IMAGE names an image file, every /dev/NAME is that image. A listing keeps the clusters it
// inflates from a compressed image in $KOVO_CACHE (none when it is set but empty), by default
// $XDG_CACHE_HOME/kovont, ~/.cache/kovont or %LOCALAPPDATA%\kovont, for the next run to read. Symbolic links on the device are
// listed but never followed, so no path reaches outside the device.
//
// Exit status: 0 when the listing or the copy is complete; 1 when the path is not found, the
// host fails or the device is damaged; 2 for wrong use and for refused names and paths. A
// directory that is not found gets a "Can't find" line; one that can be read only in part gets
// the entries that could be read, without the closing "Disk space:" line, and a message on
// standard error.

#include "devices/devices.h"
#include "disk/inflated_clusters.h"
#include "host/host_fs.h"
#include "tool/command_line.h"
#include "tool/listing_line.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
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

// A name holding a line feed would end its line early, and what follows would read as another
// entry of the caller's choosing; a name ending in a carriage return reads back as a CR LF line
// end, naming another entry. Neither can be listed.
bool fits_on_one_line(const std::string& name) {
    return name.find('\n') == std::string::npos && (name.empty() || name.back() != '\r');
}

std::string shown(const std::string& name) {
    std::string text;
    for (const char c : name) {
        text += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
    }
    return text;
}

// The components of the command's device path, each one a name the device can hold; false, with
// the refusal said, for a path that names no entry of it in a plain way.
bool split_path_for(const tool_command& command, const device& source, std::vector<std::string>& components) {
    bool plain = split_device_path(command.device_path, this_host, components);
    for (const std::string& component : components) plain = plain && source.accepts(component);
    if (!plain) complain("refusing path \"" + command.device_path + "\"");
    return plain;
}

int list_directory(const tool_command& command, device& source) {
    std::vector<std::string> components;
    if (!split_path_for(command, source, components)) {
        write_output(cant_find_line(command));
        return exit_refused;
    }
    std::vector<entry_info> entries;
    std::string error;
    const outcome result = source.list(components, entries, error);
    if (result == outcome::not_found) {
        if (!error.empty()) complain(error);
        write_output(cant_find_line(command));
        return exit_failed;
    }

    std::string text;
    bool left_out = false;
    for (const entry_info& entry : entries) {
        if (fits_on_one_line(entry.name)) {
            text += listing_line(entry) + "\n";
        } else {
            complain("leaving out \"" + shown(entry.name) + "\": its name holds a line feed or ends in a carriage return");
            left_out = true;
        }
    }
    // What could be read is written without the closing line: the listing is incomplete.
    if (result == outcome::failed) {
        complain(error);
        write_output(text);
        return exit_failed;
    }
    std::uint64_t free_bytes = 0;
    text += source.free_space(free_bytes) ? "Disk space: " + std::to_string(free_bytes / 1024) + " KB free\n"
                                          : "Disk space: unknown\n";
    if (!write_output(text)) {
        complain("cannot write the listing");
        return exit_failed;
    }
    return left_out ? exit_failed : exit_ok;
}

int copy_file_out(const tool_command& command, device& source) {
    std::vector<std::string> components;
    if (!split_path_for(command, source, components)) return exit_refused;
    std::string error;
    const outcome result = components.empty() ? outcome::not_regular
                                              : source.copy_out(components, command.local_name, error);
    switch (result) {
        case outcome::done:
            return exit_ok;
        case outcome::not_found:
            if (!error.empty()) complain(error);
            complain("Can't find " + command.device_path + " on /dev/" + command.device);
            break;
        case outcome::not_regular:
            complain(command.device_path + " is not a regular file");
            break;
        case outcome::failed:
            complain(error);
            break;
    }
    return exit_failed;
}

int run(int argc, char** argv) {
    // Every text goes out in one fwrite and is flushed at once, so a buffer gains nothing and costs
    // every run an fstat of the output and a fresh heap page, which glibc allocates for it on the
    // first write. Unbuffered, each fwrite is one write. Windows keeps its C runtime's buffered
    // stream, whose start-up is not measured.
    if (this_host == host_kind::posix) std::setvbuf(stdout, nullptr, _IONBF, 0);
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
    // A listing run keeps the clusters it inflates for the next run, which lists the next folder.
    // A copy does not: a file's clusters are read once, and would only fill the store.
    if (command.op == operation::list) {
        const char* const store = std::getenv("KOVO_CACHE");
        keep_inflated_in(store != nullptr ? std::string(store) : default_cache_folder());
    }
    // An image named directly stands for every device: it is how a file manager opens an image of
    // any name or place.
    const char* const image = std::getenv("KOVO_IMAGE");
    std::string devices;
    if ((image == nullptr || *image == '\0') && !devices_folder(devices)) {
        complain("cannot find the devices folder; set KOVO_DEVICES");
        return exit_failed;
    }
    const std::unique_ptr<device> source = image != nullptr && *image != '\0'
                                               ? open_image_device(image, error)
                                               : open_device(devices, command.device, error);
    if (!source) {
        complain(error);
        return exit_failed;
    }
    return command.op == operation::list ? list_directory(command, *source) : copy_file_out(command, *source);
}

}  // namespace
}  // namespace dirtool

int main(int argc, char** argv) {
    return dirtool::run(argc, argv);
}
