#include "frontend/bounded_format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kovox {

bool format_bounded(char* buffer, std::size_t size, const char* format, ...) {
    if (size == 0) return false;
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

std::size_t join_bounded(char* buffer, std::size_t size,
                         std::initializer_list<std::string_view> parts) {
    if (size == 0) return 0;
    std::size_t length = 0;
    for (const std::string_view part : parts) {
        if (part.size() >= size - length) {
            buffer[0] = '\0';
            return 0;
        }
        std::memcpy(buffer + length, part.data(), part.size());
        length += part.size();
    }
    buffer[length] = '\0';
    return length;
}

}  // namespace kovox
