// Arbitrary bytes as one listing text: every line read and every entry converted must keep the
// shapes the walk relies on, whatever the tool wrote.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "listing/listing_text.h"
#include "platform/platform_fake.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void check_entry(const kovox::list_entry& entry) {
    check(std::strlen(entry.mode) == kovox::mode_width);
    check(entry.mode[0] == 'd' || entry.mode[0] == '-');
    check(entry.mode[1] == 'r' || entry.mode[1] == '-');
    check(std::strspn(entry.mode + 2, "-") == kovox::mode_width - 2);
    check(std::strlen(entry.size) >= kovox::size_width);
    check(std::strlen(entry.date) <= kovox::date_width);
    check(std::strlen(entry.name) <= kovox::max_path_length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    platform::fake::reset().files["listing"] = text;
    platform::file* const file = platform::open_for_reading("listing");
    kovox::line_source source = kovox::open_line_source(file);
    kovox::listing_line line;
    std::size_t lines = 0;
    while (kovox::read_line(source, line)) {
        check(++lines <= size);  // every line consumes at least one byte
        check(line.length <= kovox::max_line_length && line.text[line.length] == '\0');
        check(!line.overlong || line.length == 0);
        if (line.overlong) continue;
        kovox::list_entry entry;
        if (kovox::convert_line({line.text, line.length}, entry) == kovox::line_kind::entry) {
            check_entry(entry);
        }
    }
    check(line.length == 0 && line.text[0] == '\0');
    platform::close_file(file);
    return 0;
}
