// The whole walk over texts the fuzzer chooses: the n-th directory the walk asks for gets the n-th
// text. Whatever the texts, the walk must end, print only lines of its fixed layout, build no
// command from a text the interpreter would change, and delete every temporary file it opened.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "frontend/kovox.h"
#include "listing/listing_text.h"
#include "listing/walk.h"
#include "platform/platform.h"
#include "platform/platform_fake.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// mode, a space, a size of at least 13 characters, a space, a date and a path.
void check_output_line(std::string_view line) {
    check(line.size() >= kovox::mode_width + 1 + kovox::size_width + 2);
    check(line[0] == 'd' || line[0] == '-');
    check(line[1] == 'r' || line[1] == '-');
    check(line.substr(2, 8) == "--------");
    check(line[10] == ' ');
    check(line.find('\0') == std::string_view::npos);
    check(line.size() <= kovox::mode_width + kovox::line_buffer_size + kovox::date_width +
                             kovox::path_buffer_size);
}

// `tool -s/dev/DEVICE "PATH" > "TEMP"`: every quoted text must survive the interpreter.
void check_command(const std::string& command) {
    check(command.size() <= kovox::max_list_command_length);
    const std::size_t path_start = command.find('"') + 1;
    const std::size_t path_end = command.find('"', path_start);
    check(path_start > 0 && path_end != std::string::npos);
    const std::string_view path(command.data() + path_start, path_end - path_start);
    check(platform::can_quote(path));
    check(platform::can_run_unchanged(command.c_str()));
    check(path.size() >= 1 && path.front() == '/' && path.back() == '/');
    check(path.find("//") == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    platform::fake::state& fake = platform::fake::reset();
    if (input.ConsumeBool()) {
        fake.rules = platform::interpreter::windows_cmd;
        fake.separator = '\\';
    }
    // Set variables whose names a text may hold between two `%`.
    fake.environment = {{"PATH", "/bin"}, {"A", "x"}, {"Dir", ""}};
    while (input.remaining_bytes() > 0 && fake.next_listings.size() < 64) {
        fake.next_listings.push_back(input.ConsumeRandomLengthString(4096));
    }
    const std::size_t texts = fake.next_listings.size();

    kovox::settings = kovox::run_settings{};
    kovox::settings.tool_exe = kovox::nt_tool_exe;
    std::strcpy(kovox::settings.device, "hda1");
    std::strcpy(kovox::settings.temp_dir, "/tmp");
    kovox::list_dir("/", 0);

    // Every command run is the listing of one directory, read back before the next is asked for.
    check(fake.commands.size() >= 1);
    if (!fake.next_listings.empty()) check(fake.commands.size() == texts - fake.next_listings.size());
    for (const std::string& command : fake.commands) check_command(command);
    check(fake.open_files == 0);
    check(fake.files.empty());
    check(fake.flushes == fake.lines_written);

    std::string_view output = fake.output;
    check(output.empty() || output.back() == '\n');
    while (!output.empty()) {
        const std::size_t end = output.find('\n');
        check_output_line(output.substr(0, end));
        output.remove_prefix(end + 1);
    }
    return 0;
}
