#include "tool/listing_line.h"

#include <algorithm>
#include <cstring>

namespace dirtool {

namespace {

// A number of at most `width` digits, not negative, right-aligned in a field of that width. The
// listing's fields are written so rather than with snprintf, which cost some 3,500 instructions a
// line: more than all else the tool does for an entry.
void put_number(char* field, int width, std::int64_t value, char pad) {
    auto rest = static_cast<std::uint64_t>(value);
    for (int i = width - 1; i >= 0; --i, rest /= 10) {
        field[i] = rest > 0 || i == width - 1 ? static_cast<char>('0' + rest % 10) : pad;
    }
}

std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
    std::int64_t quotient = value / divisor;
    return (value % divisor < 0) ? quotient - 1 : quotient;
}

}  // namespace

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
    char text[] = "Mmm dd hh:mm:ss yyyy";
    std::memcpy(text, month_names[month - 1], 3);
    put_number(text + 4, 2, day, '0');
    put_number(text + 7, 2, time_of_day / 3600, '0');
    put_number(text + 10, 2, time_of_day / 60 % 60, '0');
    put_number(text + 13, 2, time_of_day % 60, '0');
    put_number(text + 16, 4, year, '0');
    return text;
}

std::string listing_line(const entry_info& entry) {
    char links_and_owner[] = " nnn root  ";
    put_number(links_and_owner + 1, 3, static_cast<std::int64_t>(std::min<std::uint64_t>(entry.links, 999)), ' ');

    std::string size = std::to_string(entry.size);
    if (size.size() < 9) size.insert(0, 9 - size.size(), ' ');

    return mode_text(entry.type, entry.permissions) + links_and_owner + size + "     " +
           date_text(entry.mtime) + " " + entry.name;
}

}  // namespace dirtool
