#include "frontend/path_names.h"

namespace kovox {

std::string_view file_name_part(std::string_view path, bool keep_extension) {
    if (path.size() >= 2 && path[1] == ':') path.remove_prefix(2);
    const std::size_t last_separator = path.find_last_of("\\/");
    if (last_separator != std::string_view::npos) path.remove_prefix(last_separator + 1);
    if (!keep_extension) {
        const std::size_t last_dot = path.rfind('.');
        if (last_dot != std::string_view::npos) path = path.substr(0, last_dot);
    }
    return path;
}

std::string_view local_file_name(std::string_view path, char local_separator) {
    if (local_separator == '\\') return file_name_part(path, true);
    const std::size_t last_slash = path.rfind('/');
    if (last_slash == std::string_view::npos) return path;
    return std::string_view(path.data() + last_slash + 1, path.size() - last_slash - 1);
}

void lower_case(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
    }
}

}  // namespace kovox
