#include "frontend/bounded_format.h"

#include <cstdarg>
#include <cstdio>

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

}  // namespace kovox
