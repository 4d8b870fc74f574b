// The stand-in directory tool's pure pieces: command-line parsing, device path checks and the
// listing-line layout. Nothing here touches the host's file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {

// Which host's file-name rules apply: Win32 names may not hold a drive colon, a backslash or a
// wildcard, since the host API would give those a meaning of their own.
enum class host_kind { posix, win32 };

// One directory entry as the listing shows it.
struct entry_info {
    std::string name;
    char type = '-';             // d, -, l, c, b, p or s
    unsigned permissions = 0;    // the nine rwx bits, owner first (0755 style)
    std::uint64_t links = 1;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;      // seconds since 1970-01-01 00:00:00 UTC
};

enum class operation { list, copy };

struct tool_command {
    operation op = operation::list;
    std::string device;          // the NAME of "-s/dev/NAME"
    std::string device_path;
    std::string local_name;      // copy only
};

// Fills `command` from the whole argv; on wrong use returns false with a message in `error`.
bool parse_command(const std::vector<std::string>& args, host_kind host, tool_command& command,
                   std::string& error);

// Splits a device path ("/", "/etc/", "etc/passwd") into its components; on Win32 "\" separates
// them as "/" does. Returns false for a path that could reach outside the device folder or that
// names no entry in a plain way: "..", ".", empty components ("//"), and on Win32 drive colons and
// wildcards.
bool split_device_path(const std::string& path, host_kind host,
                       std::vector<std::string>& components);

// "drwxr-xr-x" from the type character and the nine permission bits.
std::string mode_text(char type, unsigned permissions);

// "Jan 02 03:04:05 2026": always 20 characters, UTC, independent of locale and time_t width.
// Times outside the years 0 to 9999 are clamped to that range.
std::string date_text(std::int64_t seconds_since_epoch);

// One listing line without its line end. The mode fills columns 0-9, the link count and owner
// 10-20, the size is right-justified in 21-29 (a wider size pushes everything after it right),
// then a space (column k), four spaces, the 20-character date, a space, and the name as stored.
std::string listing_line(const entry_info& entry);

// Whether the bytes are all zero: such a run of a copied file becomes a hole in the copy.
bool all_zero(const char* bytes, std::size_t count);

// Orders entries by name, comparing bytes as unsigned values.
void sort_by_name(std::vector<entry_info>& entries);

}  // namespace dirtool
