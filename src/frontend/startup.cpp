#include <cstring>
#include <string_view>

#include "extract/extract.h"
#include "frontend/kovox.h"
#include "frontend/path_names.h"
#include "listing/walk.h"
#include "platform/platform.h"

namespace kovox {

run_settings settings;

namespace {

constexpr std::uint32_t dos_family_bit = 0x80000000u;

// TEMP, else TMP; a value too long for the buffer is not stored and counts as none. With neither,
// the platform's own temporary directory rather than the root of the current drive.
void read_temp_directory() {
    char* const buffer = settings.temp_dir;
    constexpr auto size = static_cast<std::uint32_t>(environment_buffer_size);
    buffer[0] = '\0';
    if (platform::get_environment_variable("TEMP", buffer, size) == 0 || buffer[0] == '\0') {
        platform::get_environment_variable("TMP", buffer, size);
    }
    if (buffer[0] == '\0' && !platform::get_temp_directory(buffer, environment_buffer_size)) {
        buffer[0] = '\0';
    }
}

// The device name is the archive's base name in lower case. It stands unquoted in every command,
// so a name that the interpreter would change, or that does not fit, stops the run like an empty one.
bool set_device(std::string_view archive) {
    const std::string_view name = file_name_part(archive, false);
    if (name.empty() || name.size() > max_path_length || !platform::can_pass_unquoted(name)) {
        return false;
    }
    std::memcpy(settings.device, name.data(), name.size());
    settings.device[name.size()] = '\0';
    lower_case(settings.device);
    return true;
}

}  // namespace

int run_program(int argc, char** argv) {
    settings = run_settings{};
    settings.tool_exe = (platform::get_version() & dos_family_bit) != 0 ? dos_tool_exe : nt_tool_exe;
    read_temp_directory();

    std::string_view archive = argc > 1 ? argv[1] : "";
    if (archive == read_option && argc > 2) {
        settings.read_mode = true;
        archive = argv[2];
    }
    if (!set_device(archive)) return 0;

    if (settings.read_mode && argc > 3) {
        extract_file(argv[3]);
    } else {
        list_dir("/", 0);
    }
    return 0;
}

}  // namespace kovox
