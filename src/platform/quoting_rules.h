// Which texts survive the command interpreters unchanged. Pure functions, so both rule sets can be
// tried on any host; each platform file answers with its own interpreter's rules.
#pragma once

#include <string_view>

namespace platform {

enum class interpreter { posix_shell, windows_cmd };

bool can_quote_for(interpreter kind, std::string_view text);
bool can_pass_unquoted_for(interpreter kind, std::string_view text);

}  // namespace platform
