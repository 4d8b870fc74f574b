// printf-style formatting into a fixed buffer that says when the text did not fit, so that no caller
// ever acts on a silently truncated path or command.
#pragma once

#include <cstddef>

namespace kovox {

// Writes the formatted text into `buffer` of `size` bytes. Returns false, leaving an empty text,
// when the whole text and its terminator do not fit.
[[nodiscard]] bool format_bounded(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace kovox
