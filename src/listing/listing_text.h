// Reading the directory tool's listing text: cutting it into lines and converting each entry line
// into the fields of kovox's own listing.
#pragma once

#include <cstddef>
#include <string_view>

#include "frontend/kovox.h"
#include "platform/platform.h"

namespace kovox {

constexpr std::size_t mode_width = 10;
constexpr std::size_t size_width = 13;
constexpr std::size_t date_width = 20;

// Columns of an entry line, counted from 0.
constexpr std::size_t size_column = 21;
constexpr std::size_t size_end_column = 30;  // first column where the size may end
constexpr std::size_t date_offset = 5;       // from the space after the size
constexpr std::size_t name_offset = 26;      // from the space after the size
// A line holds the widest size the tool writes and a name of the longest path.
static_assert(max_line_length == size_column + max_size_digits + name_offset + max_path_length);

struct list_entry {
    char mode[mode_width + 1];
    char size[line_buffer_size];  // right-justified in size_width; a wider size is kept whole
    char date[date_width + 1];
    // A longer name could never be part of a display path that fits: its line is left out.
    char name[path_buffer_size];
};

inline bool is_directory(const list_entry& entry) { return entry.mode[0] == 'd'; }

// A buffered reader over one open temporary file.
struct line_source {
    platform::file* file;
    char buffer[512];
    std::size_t position;
    std::size_t length;
};

struct listing_line {
    char text[line_buffer_size + 1];  // room for a carriage return before the line feed
    std::size_t length;
    bool overlong;  // longer than max_line_length: consumed to its line feed, text left empty
};

line_source open_line_source(platform::file* file);

// Reads the next line without its line end. Carriage returns at the end of the line are dropped.
// Returns false at the end of the text.
bool read_line(line_source& source, listing_line& line);

enum class line_kind {
    end,        // "Disk space:" or "Can't find": nothing after it is read
    entry,      // converted into the entry
    not_entry,  // blank, too short to hold the columns, holding a NUL, or a name over 259: left out
};

line_kind convert_line(std::string_view line, list_entry& entry);

}  // namespace kovox
