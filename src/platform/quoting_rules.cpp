#include "platform/quoting_rules.h"

namespace platform {
namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Characters that keep a special meaning inside double quotes. On POSIX the platform layer hands
// each quoted text to /bin/sh in single quotes, where only the closing quote means anything.
bool is_special_in_quotes(interpreter kind, unsigned char c) {
    if (c == '"' || is_control(c)) return true;
    return kind == interpreter::windows_cmd && c == '%';
}

bool is_plain_word_character(unsigned char c) {
    if (c >= 0x80) return true;  // ANSI letters; neither interpreter gives them a meaning
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c == '-' || c == '_' || c == '.' || c == '+' || c == '@';
}

}  // namespace

bool can_quote_for(interpreter kind, std::string_view text) {
    for (char c : text) {
        if (is_special_in_quotes(kind, static_cast<unsigned char>(c))) return false;
    }
    // A Windows program reads a backslash before the closing quote as an escaped quote.
    return !(kind == interpreter::windows_cmd && !text.empty() && text.back() == '\\');
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
