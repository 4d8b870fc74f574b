#include "listing/walk.h"

#include <cstring>
#include <string_view>

#include "frontend/bounded_format.h"
#include "frontend/kovox.h"
#include "frontend/tool_command.h"
#include "listing/listing_text.h"
#include "platform/platform.h"

namespace kovox {
namespace {

constexpr char temp_file_stem[] = "kovoxtmp.";
// mode, size, date and display path, each with a separator, and the line feed.
constexpr std::size_t output_line_size = sizeof(list_entry::mode) + sizeof(list_entry::size) +
                                         sizeof(list_entry::date) + path_buffer_size + 1;

// Runs the tool for `path` into this depth's temporary file and opens the result. Kept out of
// list_dir so that the command text does not stay on the stack through the recursion.
[[gnu::noinline]] platform::file* run_listing(const char* path, const char* temp_path) {
    command_text command;
    if (!build_list_command(command, path, temp_path)) return nullptr;
    // A file left by an earlier run must never be read back as this directory's listing. One that
    // cannot be deleted (another program holds it, or another user owns it) could not be written
    // either: the directory goes unlisted.
    if (!platform::delete_file(temp_path)) return nullptr;
    platform::run_command(command);
    return platform::open_for_reading(temp_path);
}

// Prints the entry's line, its path relative to the root. False when the path does not fit.
[[gnu::noinline]] bool print_entry(const char* path, const list_entry& entry) {
    // Joined rather than formatted: this runs once per entry, and vsnprintf was most of its cost.
    // The name is never empty here, so neither is the display path.
    char display_path[path_buffer_size];
    if (join_bounded(display_path, sizeof display_path, {path + 1, entry.name}) == 0) return false;
    platform::ansi_to_oem(display_path);
    char output_line[output_line_size];
    const std::size_t length = join_bounded(
        output_line, sizeof output_line,
        {entry.mode, " ", entry.size, " ", entry.date, " ", display_path, "\n"});
    if (length == 0) return false;
    platform::write_output(output_line, length);
    platform::flush_output();
    return true;
}

bool should_enter(const char* path, const list_entry& entry) {
    if (!is_directory(entry)) return false;
    const std::string_view name = entry.name;
    // The root's "dev" holds device nodes, not files worth listing.
    if (std::strcmp(path, "/") == 0 && name == "dev") return false;
    // A name holding "/" is not one directory: entering it would list another path under this name.
    return name.find('/') == std::string_view::npos;
}

}  // namespace

void list_dir(const char* path, int depth) {
    char temp_path[path_buffer_size];
    if (!format_bounded(temp_path, sizeof temp_path, "%s%c%s%03d", settings.temp_dir,
                        platform::local_path_separator(), temp_file_stem, depth)) {
        return;
    }
    platform::file* const file = run_listing(path, temp_path);
    if (file == nullptr) return;

    line_source source = open_line_source(file);
    listing_line line;
    list_entry entry;
    while (read_line(source, line)) {
        if (line.overlong) continue;
        const line_kind kind = convert_line({line.text, line.length}, entry);
        if (kind == line_kind::end) break;
        if (kind == line_kind::not_entry) continue;
        const std::string_view name = entry.name;
        // An empty name would be entered as a path ending in "//", which lists the same directory.
        if (name.empty() || name == "." || name == "..") continue;
        if (!print_entry(path, entry) || !should_enter(path, entry)) continue;

        char child_path[path_buffer_size];
        if (format_bounded(child_path, sizeof child_path, "%s%s%c", path, entry.name, '/')) {
            list_dir(child_path, depth + 1);
        }
    }
    platform::close_file(file);
    platform::delete_file(temp_path);
}

}  // namespace kovox
