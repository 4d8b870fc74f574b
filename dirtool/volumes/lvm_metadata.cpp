// A parser of the volume group's description as LVM writes it: `key = value` and `name { ... }`,
// values that are whole numbers, quoted strings or lists of both, and `#` comments. The text may
// come from a program that crashed or from someone hostile, so the parser recurses no deeper than a
// description ever nests, keeps no more values than any holds, and refuses numbers that overflow.
#include "volumes/lvm.h"

#include <limits>
#include <set>

namespace dirtool {
namespace lvm {
namespace {

// A description nests four deep (group, logical_volumes, a volume, a segment).
constexpr unsigned deepest_nesting = 16;
// Values, sections and list items in all: a group of thousands of volumes stays well below this.
constexpr std::size_t most_nodes = 256 * 1024;

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '+' || c == '-';
}

class parser {
public:
    explicit parser(const std::string& text) : text_(text) {}

    bool parse(metadata_section& root, std::string& problem) {
        const bool parsed = section_body(root, 0, true);
        if (!parsed) problem = problem_ + " (line " + std::to_string(line_) + ")";
        return parsed;
    }

private:
    // The text ends at its end or at a NUL byte, which LVM writes after the description.
    bool at_end() const { return at_ >= text_.size() || text_[at_] == '\0'; }
    char peek() const { return at_end() ? '\0' : text_[at_]; }

    void skip_space() {
        while (!at_end()) {
            const char c = text_[at_];
            if (c == '#') {
                while (!at_end() && text_[at_] != '\n') ++at_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                if (c == '\n') ++line_;
                ++at_;
            } else {
                return;
            }
        }
    }

    bool fail(const std::string& what) {
        problem_ = what;
        return false;
    }

    bool count_node() { return ++nodes_ <= most_nodes || fail("more values than any volume group holds"); }

    bool name(std::string& out) {
        const std::size_t from = at_;
        while (!at_end() && is_name_char(text_[at_])) ++at_;
        if (at_ == from) return fail("a name was expected");
        out = text_.substr(from, at_ - from);
        return true;
    }

    // `name = value` and `name { ... }` until the closing brace, or the end of the text at the top.
    bool section_body(metadata_section& section, unsigned depth, bool top) {
        std::set<std::string> keys;
        for (;;) {
            skip_space();
            if (at_end()) return top || fail("a section is not closed");
            if (peek() == '}') {
                if (top) return fail("a closing brace without a section");
                ++at_;
                return true;
            }
            std::string key;
            if (!name(key)) return false;
            if (!keys.insert(key).second) return fail("\"" + key + "\" is named twice in one section");
            skip_space();
            if (!count_node()) return false;
            if (peek() == '{') {
                if (depth + 1 >= deepest_nesting) return fail("sections nested deeper than any description");
                ++at_;
                section.sections.emplace_back(key, metadata_section{});
                if (!section_body(section.sections.back().second, depth + 1, false)) return false;
            } else if (peek() == '=') {
                ++at_;
                skip_space();
                metadata_value value;
                if (!any_value(value)) return false;
                section.values.emplace_back(std::move(key), std::move(value));
            } else {
                return fail("\"" + key + "\" is followed by neither \"=\" nor \"{\"");
            }
        }
    }

    bool any_value(metadata_value& value) {
        if (peek() != '[') return scalar(value);
        ++at_;
        value.type = metadata_value::kind::list;
        for (;;) {
            skip_space();
            if (peek() == ']') {
                ++at_;
                return true;
            }
            if (!value.items.empty()) {
                if (peek() != ',') return fail("a list's items must be separated by commas");
                ++at_;
                skip_space();
            }
            metadata_value item;
            if (!count_node() || !scalar(item)) return false;
            value.items.push_back(std::move(item));
        }
    }

    bool scalar(metadata_value& value) {
        if (peek() == '"') return quoted(value);
        value.type = metadata_value::kind::number;
        const bool negative = peek() == '-';
        if (negative) ++at_;
        if (peek() < '0' || peek() > '9') return fail("a value was expected");
        // Accumulated as a negative number, whose range reaches one further than the positive.
        std::int64_t sum = 0;
        constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
        while (peek() >= '0' && peek() <= '9') {
            const int digit = text_[at_++] - '0';
            if (sum < (lowest + digit) / 10) return fail("a number too large for 64 bits");
            sum = sum * 10 - digit;
        }
        if (peek() == '.') return fail("a number that is not whole");
        if (!negative && sum == lowest) return fail("a number too large for 64 bits");
        value.number = negative ? sum : -sum;
        return true;
    }

    // A string in double quotes, where a backslash keeps the character after it.
    bool quoted(metadata_value& value) {
        value.type = metadata_value::kind::text;
        ++at_;
        for (;;) {
            if (at_end()) return fail("a string is not closed");
            char c = text_[at_++];
            if (c == '"') return true;
            if (c == '\n') ++line_;
            if (c == '\\') {
                if (at_end()) return fail("a string is not closed");
                c = text_[at_++];
            }
            value.text += c;
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
    std::size_t line_ = 1;
    std::size_t nodes_ = 0;
    std::string problem_;
};

}  // namespace

const metadata_value* metadata_section::value(const std::string& key) const {
    for (const auto& [name, found] : values) {
        if (name == key) return &found;
    }
    return nullptr;
}

const metadata_section* metadata_section::section(const std::string& name) const {
    for (const auto& [key, found] : sections) {
        if (key == name) return &found;
    }
    return nullptr;
}

bool parse_metadata(const std::string& text, metadata_section& root, std::string& problem) {
    root = metadata_section{};
    return parser(text).parse(root, problem);
}

}  // namespace lvm
}  // namespace dirtool
