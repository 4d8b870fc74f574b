// The text descriptor of a VMDK: "key=value" lines (CID, parentCID, createType,
// parentFileNameHint) and one line per extent ("RW 4192256 SPARSE "disk-s001.vmdk""), the
// extents in the order they make up the disk. Everything else (the disk database) is skipped.
#include "disk/vmdk.h"

#include <cstring>

namespace dirtool {
namespace {

// A disk of more sectors than this (64 PiB) is no disk anyone holds, and sums of such sizes stay
// far from wrapping around.
constexpr std::uint64_t most_sectors = std::uint64_t{1} << 47;

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool same_text(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool parse_decimal(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

bool parse_hex32(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 8) return false;
    value = 0;
    for (char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        value = (value << 4) | digit;
    }
    return true;
}

std::string unquoted(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

// An extent is read from the descriptor's own folder or below it, never from elsewhere: no
// absolute path, no drive, no ".." component, with either separator.
bool names_a_file_below(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

// "RW 4192256 SPARSE "disk-s001.vmdk"" or "RW 8388608 FLAT "disk-f001.vmdk" 0" or "RW 2048 ZERO".
// The next word of `line` from `at`, past blanks; `at` moves past it.
std::string next_word(const std::string& line, std::size_t& at) {
    const std::size_t first = line.find_first_not_of(" \t", at);
    if (first == std::string::npos || line[first] == '"') {
        at = first == std::string::npos ? line.size() : first;
        return {};
    }
    const std::size_t end = line.find_first_of(" \t\"", first);
    at = end == std::string::npos ? line.size() : end;
    return line.substr(first, at - first);
}

bool parse_extent(const std::string& line, vmdk_extent_line& extent, std::string& error) {
    std::size_t at = 0;
    next_word(line, at);  // the access, which a reader need not heed
    if (!parse_decimal(next_word(line, at), extent.sectors) || extent.sectors > most_sectors) {
        error = "the descriptor's extent line \"" + line + "\" gives no size the disk can have";
        return false;
    }
    const std::string type = next_word(line, at);
    if (same_text(type, "ZERO")) {
        extent.type = vmdk_extent_line::kind::zero;
        return true;
    }
    if (same_text(type, "SPARSE") || same_text(type, "VMFSSPARSE")) {
        extent.type = vmdk_extent_line::kind::sparse;
    } else if (same_text(type, "FLAT") || same_text(type, "VMFS")) {
        extent.type = vmdk_extent_line::kind::flat;
    } else {
        error = "the descriptor's extent line \"" + line + "\" is of a kind this tool does not read";
        return false;
    }
    const std::size_t quote = line.find_first_not_of(" \t", at);
    const std::size_t closing = quote == std::string::npos || line[quote] != '"' ? std::string::npos : line.find('"', quote + 1);
    if (closing == std::string::npos) {
        error = "the descriptor's extent line \"" + line + "\" names no file";
        return false;
    }
    extent.file = line.substr(quote + 1, closing - quote - 1);
    if (!names_a_file_below(extent.file)) {
        error = "the descriptor names the extent \"" + extent.file + "\" outside its own folder";
        return false;
    }
    const std::string rest = trimmed(line.substr(closing + 1));
    if (extent.type == vmdk_extent_line::kind::flat && !rest.empty() &&
        (!parse_decimal(rest, extent.offset) || extent.offset > most_sectors)) {
        error = "the descriptor's extent line \"" + line + "\" gives no offset a file can have";
        return false;
    }
    return true;
}

}  // namespace

bool parse_vmdk_descriptor(const char* text, std::size_t length, vmdk_descriptor& descriptor, std::string& error) {
    const void* nul = std::memchr(text, '\0', length);
    if (nul != nullptr) length = static_cast<std::size_t>(static_cast<const char*>(nul) - text);
    if (length > largest_vmdk_descriptor) {
        error = "the descriptor of " + std::to_string(length) + " bytes is larger than a VMDK descriptor can be";
        return false;
    }
    const std::string all(text, length);
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        const std::string line = trimmed(all.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        const std::string access = line.substr(0, line.find_first_of(" \t"));
        if (access == "RW" || access == "RDONLY" || access == "NOACCESS") {
            vmdk_extent_line extent;
            if (!parse_extent(line, extent, error)) return false;
            descriptor.extents.push_back(extent);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = unquoted(trimmed(line.substr(equals + 1)));
        if (same_text(key, "CID")) {
            descriptor.has_cid = parse_hex32(value, descriptor.cid);
            if (!descriptor.has_cid) {
                error = "the descriptor's CID \"" + value + "\" is not a number";
                return false;
            }
        } else if (same_text(key, "parentCID")) {
            if (!parse_hex32(value, descriptor.parent_cid)) {
                error = "the descriptor's parentCID \"" + value + "\" is not a number";
                return false;
            }
        } else if (same_text(key, "createType")) {
            descriptor.create_type = value;
        } else if (same_text(key, "parentFileNameHint")) {
            descriptor.parent_hint = value;
        }
    }
    return true;
}

}  // namespace dirtool
