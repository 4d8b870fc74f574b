// The layout of the tool's listing lines: mode, links and owner, size, date and name.
#pragma once

#include "base/entry.h"

#include <cstdint>
#include <string>

namespace dirtool {

// "drwxr-xr-x" from the type character and the nine permission bits.
std::string mode_text(char type, unsigned permissions);

// "Jan 02 03:04:05 2026": always 20 characters, UTC, independent of locale and time_t width.
// Times outside the years 0 to 9999 are clamped to that range.
std::string date_text(std::int64_t seconds_since_epoch);

// One listing line without its line end. The mode fills columns 0-9, the link count and owner
// 10-20, the size is right-justified in 21-29 (a wider size pushes everything after it right),
// then a space (column k), four spaces, the 20-character date, a space, and the name as stored.
std::string listing_line(const entry_info& entry);

}  // namespace dirtool
