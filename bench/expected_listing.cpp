// What kovox must list for a device folder, worked out from the folder itself rather than from
// kovox: the walk's order (each folder's entries by name in byte order, as the stand-in tool lists
// them, depth first) and its limits, taken from kovox's own header (frontend/kovox.h), so that they
// follow kovox when its widths change: an entry whose path does not fit is not printed; a directory
// whose own path, temporary file path or command text would not fit is printed but not entered.
// The root's "dev" is printed but not entered; links are never entered.
//
//   kovox_bench_expect DEVICE_FOLDER DEVICE TEMP_DIR LISTING RUNS COMMANDS [SEPARATOR]
//   kovox_bench_expect --limits
//
// LISTING gets one line per entry kovox must print: "d" or "-", a space and the path as printed.
// RUNS gets the device path of every directory the tool must be run for, in the order of the runs,
// and COMMANDS the command text kovox builds for each. SEPARATOR is what kovox puts between
// TEMP_DIR and a temporary file's name: "/" (the default) on POSIX, a backslash on Windows.
// --limits prints kovox's path and command-text limits, one "name value" a line.
// The benchmark's devices hold only plain names; any other name stops this program, since the
// rules for names the interpreter would change are not modelled here.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "frontend/kovox.h"

namespace {

struct walk_context {
    std::string device;
    std::string temp_dir;
    char separator;
    std::ofstream listing;
    std::ofstream runs;
    std::ofstream commands;
};

bool is_plain_name(const std::string& name) {
    if (name.empty() || name.size() > 200) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte != 0x7f && c != '"';
    });
}

std::string temp_path(const walk_context& context, int depth) {
    char number[16];
    std::snprintf(number, sizeof number, "%03d", depth);
    return context.temp_dir + context.separator + "kovoxtmp." + number;
}

// The command text kovox builds to list `path` at `depth`, by kovox's own format.
std::string list_command(const walk_context& context, const std::string& path, int depth) {
    const std::string temp = temp_path(context, depth);
    const auto length = static_cast<std::size_t>(
        std::snprintf(nullptr, 0, kovox::list_command_format, kovox::nt_tool_exe,
                      context.device.c_str(), path.c_str(), temp.c_str()));
    std::string text(length + 1, '\0');
    std::snprintf(text.data(), text.size(), kovox::list_command_format, kovox::nt_tool_exe,
                  context.device.c_str(), path.c_str(), temp.c_str());
    text.resize(length);
    return text;
}

// Whether kovox can run the tool for `path` at `depth`: the path, the temporary file's path and the
// command text all fit.
bool can_list(const walk_context& context, const std::string& path, int depth) {
    return path.size() <= kovox::max_path_length &&
           temp_path(context, depth).size() <= kovox::max_path_length &&
           list_command(context, path, depth).size() <= kovox::max_command_length;
}

bool walk(walk_context& context, const std::string& folder, const std::string& path, int depth) {
    context.runs << path << '\n';
    context.commands << list_command(context, path, depth) << '\n';
    DIR* const directory = opendir(folder.c_str());
    if (directory == nullptr) return false;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());  // std::string compares bytes as unsigned char

    for (const std::string& name : names) {
        if (!is_plain_name(name)) {
            std::fprintf(stderr, "kovox_bench_expect: name not modelled: %s%s\n", path.c_str(),
                         name.c_str());
            return false;
        }
        struct stat status {};
        if (lstat((folder + "/" + name).c_str(), &status) != 0) return false;
        const bool is_folder = S_ISDIR(status.st_mode);
        const std::string display = path.substr(1) + name;
        if (display.size() > kovox::max_path_length) continue;
        context.listing << (is_folder ? 'd' : '-') << ' ' << display << '\n';

        const std::string child = path + name + "/";
        if (!is_folder || (path == "/" && name == "dev") || !can_list(context, child, depth + 1)) {
            continue;
        }
        if (!walk(context, folder + "/" + name, child, depth + 1)) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--limits") {
        std::printf("max_path_length %zu\nmax_line_length %zu\nmax_command_length %zu\n", kovox::max_path_length,
                    kovox::max_line_length, kovox::max_command_length);
        return 0;
    }
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr,
                     "usage: kovox_bench_expect DEVICE_FOLDER DEVICE TEMP_DIR LISTING RUNS COMMANDS "
                     "[SEPARATOR]\n       kovox_bench_expect --limits\n");
        return 2;
    }
    walk_context context{argv[2], argv[3], argc == 8 ? argv[7][0] : '/', std::ofstream(argv[4]),
                         std::ofstream(argv[5]), std::ofstream(argv[6])};
    if (!can_list(context, "/", 0)) return 0;  // nothing at all can be listed
    const bool complete = walk(context, argv[1], "/", 0);
    context.listing.close();
    context.runs.close();
    context.commands.close();
    return complete && context.listing && context.runs && context.commands ? 0 : 2;
}
