// Which texts survive the command interpreters unchanged. Pure functions, so both rule sets can be
// tried on any host; each platform file answers with its own interpreter's rules.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

enum class interpreter { posix_shell, windows_cmd };

bool can_quote_for(interpreter kind, std::string_view text);
bool can_pass_unquoted_for(interpreter kind, std::string_view text);

// The script /bin/sh runs for `command`, a command text as cmd.exe reads it: inside double quotes
// (to the next one, or to the end) every character stands for itself. Each quoted text becomes a
// single-quoted one, with `'` written as `'\''`, so that sh changes nothing in it. The rest goes as
// it stands, and may hold only what means the same to both interpreters: the characters of an
// unquoted text (can_pass_unquoted_for), `/`, spaces and the redirection `>`. Writes the script
// into `buffer` of `size` bytes and returns its length; 0, with an empty text, when it does not fit
// or the command holds anything else outside quotes.
[[nodiscard]] std::size_t posix_script_for(std::string_view command, char* buffer, std::size_t size);

// The longest script posix_script_for makes of a command of `length` characters: every one a `'`
// inside quotes.
constexpr std::size_t longest_posix_script(std::size_t length) { return 4 * length; }

}  // namespace platform
