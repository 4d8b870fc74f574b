#include "base/entry.h"

#include <algorithm>

namespace dirtool {

bool has_win32_reserved_char(const std::string& name) {
    return name.find_first_of("\\:*?\"<>|") != std::string::npos;
}

void sort_by_name(std::vector<entry_info>& entries) {
    std::sort(entries.begin(), entries.end(), [](const entry_info& a, const entry_info& b) {
        return std::lexicographical_compare(
            a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
            [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
    });
}

}  // namespace dirtool
