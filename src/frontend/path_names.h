// Names taken from local paths, as the Windows runtime's _splitpath and _strlwr find them.
#pragma once

#include <string_view>

namespace kovox {

// The file-name part of `path`: what follows a leading drive ("X:") and the last backslash or slash.
// Without `keep_extension`, the text from its last "." on is dropped as well.
std::string_view file_name_part(std::string_view path, bool keep_extension);

// The name a copy of the device file `path` gets in the current folder, with its extension: what
// follows the last "/" and the last `local_separator`. Where that is a backslash (Windows), what
// follows a leading drive too, as file_name_part finds it; elsewhere a backslash or a colon
// belongs to the name.
std::string_view local_file_name(std::string_view path, char local_separator);

// Lower-cases A to Z in place; every other byte stays.
void lower_case(char* text);

}  // namespace kovox
