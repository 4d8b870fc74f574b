#include "platform/quoting_rules.h"

namespace platform {
namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Characters that keep a special meaning inside double quotes. On POSIX the platform layer hands
// each quoted text to /bin/sh in single quotes, where only the closing quote means anything. On
// Windows a `%` may, but only with another one and a variable's name: can_run_unchanged_for
// looks at the whole command for that.
bool is_special_in_quotes(unsigned char c) { return c == '"' || is_control(c); }

char upper_case(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper_case(a[i]) != upper_case(b[i])) return false;
    }
    return true;
}

// The variables cmd.exe makes itself, whatever its environment holds.
bool is_cmd_variable(std::string_view name) {
    constexpr std::string_view dynamic[] = {
        "CD",         "DATE",       "TIME",   "RANDOM", "ERRORLEVEL", "CMDEXTVERSION",
        "CMDCMDLINE", "HIGHESTNUMANODENUMBER", "PROMPT",
    };
    for (const std::string_view variable : dynamic) {
        if (same_name(name, variable)) return true;
    }
    return (name.size() >= 2 && name[0] == '_' && name[1] == '_') || (!name.empty() && name[0] == '=');
}

bool is_plain_word_character(unsigned char c) {
    if (c >= 0x80) return true;  // ANSI letters; neither interpreter gives them a meaning
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c == '-' || c == '_' || c == '.' || c == '+' || c == '@';
}

}  // namespace

bool can_quote_for(interpreter kind, std::string_view text) {
    for (char c : text) {
        if (is_special_in_quotes(static_cast<unsigned char>(c))) return false;
    }
    // A Windows program reads a backslash before the closing quote as an escaped quote.
    return !(kind == interpreter::windows_cmd && !text.empty() && text.back() == '\\');
}

bool cmd_would_expand(std::string_view command, variable_lookup is_set) {
    std::size_t open = command.find('%');
    while (open != std::string_view::npos) {
        const std::size_t close = command.find('%', open + 1);
        if (close == std::string_view::npos) return false;
        // Built directly rather than with substr, whose bounds check would throw (never here) and
        // tie kovox to the C++ runtime library for that alone.
        std::string_view name(command.data() + open + 1, close - open - 1);
        const std::size_t colon = name.find(':');
        if (colon != std::string_view::npos) name = std::string_view(name.data(), colon);
        if (!name.empty() && (is_cmd_variable(name) || is_set(name))) return true;
        open = close;
    }
    return false;
}

bool can_run_unchanged_for(interpreter kind, std::string_view command, variable_lookup is_set) {
    return kind != interpreter::windows_cmd || !cmd_would_expand(command, is_set);
}

bool can_pass_unquoted_for(interpreter /*kind*/, std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!is_plain_word_character(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::size_t posix_script_for(std::string_view command, char* buffer, std::size_t size) {
    std::size_t length = 0;
    const auto put = [&](std::string_view part) {
        if (length == size || part.size() > size - length - 1) {
            length = size;  // does not fit
            return;
        }
        for (const char c : part) buffer[length++] = c;
    };
    bool quoted = false;
    for (const char c : command) {
        if (c == '"') {
            quoted = !quoted;
            put("'");
        } else if (quoted && c == '\'') {
            put("'\\''");
        } else if (quoted || is_plain_word_character(static_cast<unsigned char>(c)) || c == '/' ||
                   c == ' ' || c == '>') {
            put(std::string_view(&c, 1));
        } else {
            length = size;  // sh might read it otherwise than cmd.exe
        }
    }
    if (quoted) put("'");
    if (size == 0) return 0;
    if (length == size) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[length] = '\0';
    return length;
}

}  // namespace platform
