// The file and output operations that both real platforms take from the C runtime's stdio.
#include <cstdio>

#include "platform/platform.h"

namespace platform {
namespace {

FILE* stream_of(file* handle) { return reinterpret_cast<FILE*>(handle); }

}  // namespace

file* open_for_reading(const char* path) {
    return reinterpret_cast<file*>(std::fopen(path, "rb"));
}

std::size_t read_file(file* handle, char* buffer, std::size_t size) {
    return std::fread(buffer, 1, size, stream_of(handle));
}

void close_file(file* handle) { std::fclose(stream_of(handle)); }

void write_output(const char* text, std::size_t length) { std::fwrite(text, 1, length, stdout); }

void flush_output() { std::fflush(stdout); }

}  // namespace platform
