// printf-style formatting into a fixed buffer that says when the text did not fit, so that no caller
// ever acts on a silently truncated path or command.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace kovox {

// Writes the formatted text into `buffer` of `size` bytes. Returns false, leaving an empty text,
// when the whole text and its terminator do not fit.
[[nodiscard]] bool format_bounded(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Joins `parts` into `buffer` of `size` bytes: the text format_bounded would make of "%s%s..."
// with these parts, without parsing a format. Returns its length, or 0 with an empty text when the
// whole text and its terminator do not fit.
[[nodiscard]] std::size_t join_bounded(char* buffer, std::size_t size,
                                       std::initializer_list<std::string_view> parts);

}  // namespace kovox
