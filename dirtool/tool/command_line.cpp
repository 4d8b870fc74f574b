#include "tool/command_line.h"

#include <algorithm>

namespace dirtool {

namespace {

const std::string device_prefix = "-s/dev/";

// CON, NUL, COM1, LPT1.txt and the like open a device instead of a file on Win32.
bool is_win32_device_name(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    std::transform(stem.begin(), stem.end(), stem.begin(), [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    });
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// A single name that stays inside the folder it is looked up in.
bool is_plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A name the host can create a file or find a folder under: on Win32 no drive colon, separator or
// wildcard.
bool is_host_name(const std::string& name, host_kind host) {
    return is_plain_name(name) && (host != host_kind::win32 || !has_win32_reserved_char(name));
}

bool parse_device(const std::string& arg, host_kind host, std::string& device, std::string& error) {
    if (arg.compare(0, device_prefix.size(), device_prefix) != 0) {
        error = "expected " + device_prefix + "NAME, got \"" + arg + "\"";
        return false;
    }
    device = arg.substr(device_prefix.size());
    // The backslash is refused on every host: a device name is one folder name, never a path.
    if (!is_host_name(device, host) || device.find('\\') != std::string::npos) {
        error = "bad device name \"" + device + "\"";
        return false;
    }
    return true;
}

}  // namespace

bool parse_command(const std::vector<std::string>& args, host_kind host, tool_command& command,
                   std::string& error) {
    if (args.size() == 3) {
        command.op = operation::list;
        command.device_path = args[2];
        return parse_device(args[1], host, command.device, error);
    }
    if (args.size() == 5 && args[1] == "-READ") {
        command.op = operation::copy;
        command.device_path = args[3];
        command.local_name = args[4];
        if (!parse_device(args[2], host, command.device, error)) return false;
        if (!is_plain_name(command.local_name)) {
            error = "bad local file name \"" + command.local_name + "\"";
            return false;
        }
        // A file on an image may bear a name that Windows cannot give a file of its own.
        if (host == host_kind::win32 && !is_host_name(command.local_name, host)) {
            error = "bad local file name \"" + command.local_name + "\": Windows file names cannot hold \\ : * ? \" < > |";
            return false;
        }
        if (host == host_kind::win32 && is_win32_device_name(command.local_name)) {
            error = "bad local file name \"" + command.local_name + "\": Windows keeps that name for a device";
            return false;
        }
        return true;
    }
    error = "usage: -s/dev/NAME \"PATH\"  or  -READ -s/dev/NAME \"DEVICEPATH\" \"LOCALNAME\"";
    return false;
}

bool split_device_path(const std::string& path, host_kind host,
                       std::vector<std::string>& components) {
    components.clear();
    std::string rest = path;
    // Windows file managers hand stored names back with "\" between their components.
    if (host == host_kind::win32) std::replace(rest.begin(), rest.end(), '\\', '/');
    if (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
    if (rest.empty()) return true;  // the root
    // One trailing slash marks a folder; what is left of "//" is an empty name, not the root.
    if (rest.back() == '/') rest.pop_back();
    std::size_t start = 0;
    while (true) {
        std::size_t slash = rest.find('/', start);
        std::string name = rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!is_plain_name(name)) return false;
        components.push_back(name);
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

}  // namespace dirtool
