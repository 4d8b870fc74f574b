#include "dirtool_core.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace dirtool {

namespace {

const std::string device_prefix = "-s/dev/";

// Characters that the Win32 API reads as a drive, a separator or a wildcard.
bool has_win32_reserved_char(const std::string& name) {
    return name.find_first_of("\\:*?\"<>|") != std::string::npos;
}

// CON, NUL, COM1, LPT1.txt and the like open a device instead of a file on Win32.
bool is_win32_device_name(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    std::transform(stem.begin(), stem.end(), stem.begin(), [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    });
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// A single name that stays inside the folder it is looked up in.
bool is_plain_name(const std::string& name, host_kind host) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;
    return host != host_kind::win32 || !has_win32_reserved_char(name);
}

bool parse_device(const std::string& arg, host_kind host, std::string& device, std::string& error) {
    if (arg.compare(0, device_prefix.size(), device_prefix) != 0) {
        error = "expected " + device_prefix + "NAME, got \"" + arg + "\"";
        return false;
    }
    device = arg.substr(device_prefix.size());
    // The backslash is refused on every host: a device name is one folder name, never a path.
    if (!is_plain_name(device, host) || device.find('\\') != std::string::npos) {
        error = "bad device name \"" + device + "\"";
        return false;
    }
    return true;
}

std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
    std::int64_t quotient = value / divisor;
    return (value % divisor < 0) ? quotient - 1 : quotient;
}

}  // namespace

bool parse_command(const std::vector<std::string>& args, host_kind host, tool_command& command,
                   std::string& error) {
    if (args.size() == 3) {
        command.op = operation::list;
        command.device_path = args[2];
        return parse_device(args[1], host, command.device, error);
    }
    if (args.size() == 5 && args[1] == "-READ") {
        command.op = operation::copy;
        command.device_path = args[3];
        command.local_name = args[4];
        if (!parse_device(args[2], host, command.device, error)) return false;
        if (!is_plain_name(command.local_name, host) ||
            (host == host_kind::win32 && is_win32_device_name(command.local_name))) {
            error = "bad local file name \"" + command.local_name + "\"";
            return false;
        }
        return true;
    }
    error = "usage: -s/dev/NAME \"PATH\"  or  -READ -s/dev/NAME \"DEVICEPATH\" \"LOCALNAME\"";
    return false;
}

bool split_device_path(const std::string& path, host_kind host,
                       std::vector<std::string>& components) {
    components.clear();
    std::string rest = path;
    // Windows file managers hand stored names back with "\" between their components.
    if (host == host_kind::win32) std::replace(rest.begin(), rest.end(), '\\', '/');
    if (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
    if (rest.empty()) return true;  // the root
    // One trailing slash marks a folder; what is left of "//" is an empty name, not the root.
    if (rest.back() == '/') rest.pop_back();
    std::size_t start = 0;
    while (true) {
        std::size_t slash = rest.find('/', start);
        std::string name = rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!is_plain_name(name, host)) return false;
        components.push_back(name);
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

std::string mode_text(char type, unsigned permissions) {
    std::string text(1, type);
    for (int bit = 8; bit >= 0; --bit) {
        const bool set = ((permissions >> bit) & 1u) != 0;
        text += set ? "xwr"[bit % 3] : '-';
    }
    return text;
}

std::string date_text(std::int64_t seconds_since_epoch) {
    const std::int64_t earliest = -62167219200;  // 0000-01-01 00:00:00
    const std::int64_t latest = 253402300799;    // 9999-12-31 23:59:59
    const std::int64_t seconds = std::clamp(seconds_since_epoch, earliest, latest);

    // Days to a civil date in the proleptic Gregorian calendar, counted in 400-year eras.
    const std::int64_t days = floor_div(seconds, 86400);
    const std::int64_t time_of_day = seconds - days * 86400;
    const std::int64_t shifted = days + 719468;  // day 0 is 0000-03-01
    const std::int64_t era = floor_div(shifted, 146097);
    const std::int64_t day_of_era = shifted - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t month_from_march = (5 * day_of_year + 2) / 153;
    const std::int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    const std::int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    static const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];  // roomy: the compiler cannot see that the fields stay in range
    std::snprintf(text, sizeof text, "%s %02d %02d:%02d:%02d %04d",
                  month_names[month - 1], static_cast<int>(day), static_cast<int>(time_of_day / 3600),
                  static_cast<int>(time_of_day / 60 % 60), static_cast<int>(time_of_day % 60),
                  static_cast<int>(year));
    return text;
}

std::string listing_line(const entry_info& entry) {
    char links_and_owner[16];
    const auto links = static_cast<unsigned>(std::min<std::uint64_t>(entry.links, 999));
    std::snprintf(links_and_owner, sizeof links_and_owner, " %3u root  ", links);

    std::string size = std::to_string(entry.size);
    if (size.size() < 9) size.insert(0, 9 - size.size(), ' ');

    return mode_text(entry.type, entry.permissions) + links_and_owner + size + "     " +
           date_text(entry.mtime) + " " + entry.name;
}

bool all_zero(const char* bytes, std::size_t count) {
    // Each byte equal to the one after it and the first one zero: memcmp runs at memory speed.
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

void sort_by_name(std::vector<entry_info>& entries) {
    std::sort(entries.begin(), entries.end(), [](const entry_info& a, const entry_info& b) {
        return std::lexicographical_compare(
            a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
            [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
    });
}

}  // namespace dirtool
