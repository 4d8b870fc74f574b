// Which texts survive the command interpreters unchanged. Pure functions, so both rule sets can be
// tried on any host; each platform file answers with its own interpreter's rules.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

enum class interpreter { posix_shell, windows_cmd };

bool can_quote_for(interpreter kind, std::string_view text);
bool can_pass_unquoted_for(interpreter kind, std::string_view text);

// Whether an environment variable of this name is set, as the interpreter would find it.
using variable_lookup = bool (*)(std::string_view name);

// Whether cmd.exe would put a variable's value in place of part of `command`: for some pair of
// consecutive `%`, the text between them, cut at its first `:` (so that `%NAME:~0,3%` and
// `%NAME:a=b%` count), names a variable that `is_set` reports set, or one cmd.exe makes itself:
// CD, DATE, TIME, RANDOM, ERRORLEVEL, CMDEXTVERSION, CMDCMDLINE, HIGHESTNUMANODENUMBER, PROMPT
// (which cmd.exe sets when it is missing), and any name that begins with `__` or `=`. Names are
// compared without regard to case.
bool cmd_would_expand(std::string_view command, variable_lookup is_set);

// Whether the interpreter runs the whole command text `command` as written. On POSIX always, since
// the platform layer quotes every text for /bin/sh; on Windows unless cmd.exe would expand a
// variable in it (which may span quoted texts).
bool can_run_unchanged_for(interpreter kind, std::string_view command, variable_lookup is_set);

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
