#include "platform/quoting_rules.h"

namespace platform {
namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Characters that keep a special meaning inside double quotes.
bool is_special_in_quotes(interpreter kind, unsigned char c) {
    if (c == '"' || is_control(c)) return true;
    if (kind == interpreter::windows_cmd) return c == '%';
    return c == '$' || c == '`' || c == '\\';
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

}  // namespace platform
