// One directory entry as every layer of the tool describes it, from the host's folders to the
// file systems on images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {

// Which host's file-name rules apply: Win32 names may not hold a drive colon, a backslash or a
// wildcard, since the host API would give those a meaning of their own.
enum class host_kind { posix, win32 };

struct entry_info {
    std::string name;
    char type = '-';             // d, -, l, c, b, p or s
    unsigned permissions = 0;    // the nine rwx bits, owner first (0755 style)
    std::uint64_t links = 1;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;      // seconds since 1970-01-01 00:00:00 UTC
};

// Whether a name holds a character that the Win32 API reads as a drive, a separator or a wildcard.
bool has_win32_reserved_char(const std::string& name);

// Orders entries by name, comparing bytes as unsigned values.
void sort_by_name(std::vector<entry_info>& entries);

}  // namespace dirtool
