// Names taken from local paths, as the Windows runtime's _splitpath and _strlwr find them.
#pragma once

#include <string_view>

namespace kovox {

// The file-name part of `path`: what follows a leading drive ("X:") and the last backslash or slash.
// Without `keep_extension`, the text from its last "." on is dropped as well.
std::string_view file_name_part(std::string_view path, bool keep_extension);

// Lower-cases A to Z in place; every other byte stays.
void lower_case(char* text);

}  // namespace kovox
