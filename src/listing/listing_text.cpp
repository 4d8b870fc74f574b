#include "listing/listing_text.h"

#include <cstring>

namespace kovox {
namespace {

constexpr std::string_view end_of_listing = "Disk space:";
constexpr std::string_view directory_not_found = "Can't find";

// Copies `text` into `field` and terminates it; `field` has room for `text`.
template <std::size_t N>
void set_field(char (&field)[N], std::string_view text) {
    std::memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
}

// The tail of `line` from `column` on, at most `count` characters; empty past the end.
std::string_view columns_from(std::string_view line, std::size_t column,
                              std::size_t count = std::string_view::npos) {
    // Built directly rather than with substr, whose bounds check is already done here and would
    // tie kovox to the C++ runtime library for its exception alone.
    const std::size_t start = column < line.size() ? column : line.size();
    const std::size_t rest = line.size() - start;
    return std::string_view(line.data() + start, count < rest ? count : rest);
}

}  // namespace

line_source open_line_source(platform::file* file) {
    line_source source;
    source.file = file;
    source.position = 0;
    source.length = 0;
    return source;
}

bool read_line(line_source& source, listing_line& line) {
    constexpr std::size_t capacity = sizeof line.text - 1;
    std::size_t length = 0;
    bool read_any = false;
    bool overflowed = false;
    for (;;) {
        if (source.position == source.length) {
            source.length = platform::read_file(source.file, source.buffer, sizeof source.buffer);
            source.position = 0;
            if (source.length == 0) break;
        }
        read_any = true;
        const char* const start = source.buffer + source.position;
        const std::size_t available = source.length - source.position;
        const auto* line_feed = static_cast<const char*>(std::memchr(start, '\n', available));
        const std::size_t taken = line_feed != nullptr ? static_cast<std::size_t>(line_feed - start)
                                                       : available;
        const std::size_t stored = taken < capacity - length ? taken : capacity - length;
        std::memcpy(line.text + length, start, stored);
        length += stored;
        overflowed = overflowed || stored < taken;
        source.position += taken;
        if (line_feed != nullptr) {
            ++source.position;
            break;
        }
    }
    // Only the carriage return of a CR LF line end goes; one inside a name belongs to the name.
    if (!overflowed && length > 0 && line.text[length - 1] == '\r') --length;
    line.overlong = overflowed || length > max_line_length;
    line.length = line.overlong ? 0 : length;
    line.text[line.length] = '\0';
    return read_any;
}

line_kind convert_line(std::string_view line, list_entry& entry) {
    if (line.substr(0, end_of_listing.size()) == end_of_listing ||
        line.substr(0, directory_not_found.size()) == directory_not_found) {
        return line_kind::end;
    }
    // Every field fits its buffer only within the line width; no printable field holds a NUL; and a
    // line without a space at or after the size's first possible end has no columns to take.
    if (line.size() > max_line_length || line.find('\0') != std::string_view::npos) {
        return line_kind::not_entry;
    }
    const std::size_t size_end = line.find(' ', size_end_column);
    if (size_end == std::string_view::npos) return line_kind::not_entry;
    const std::string_view name = columns_from(line, size_end + name_offset);
    if (name.size() > max_path_length) return line_kind::not_entry;

    entry.mode[0] = line[0] == 'd' ? 'd' : '-';
    entry.mode[1] = line[2] == 'w' ? '-' : 'r';
    std::memset(entry.mode + 2, '-', mode_width - 2);
    entry.mode[mode_width] = '\0';

    // size_end >= size_end_column > size_column: in bounds, so no check (and no throw) is needed.
    const std::string_view size(line.data() + size_column, size_end - size_column);
    const std::size_t padding = size.size() < size_width ? size_width - size.size() : 0;
    std::memset(entry.size, ' ', padding);
    std::memcpy(entry.size + padding, size.data(), size.size());
    entry.size[padding + size.size()] = '\0';

    set_field(entry.date, columns_from(line, size_end + date_offset, date_width));
    set_field(entry.name, name);
    return line_kind::entry;
}

}  // namespace kovox
