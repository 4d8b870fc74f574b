// What the POSIX host files share: errors, sizes that off_t can hold, and file identities.
#pragma once

#include "base/image_source.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace dirtool {
namespace posix {

inline std::string describe_errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

inline bool fits_in_off_t(std::uint64_t value) {
    return value <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
}

inline file_identity identity_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino), true};
}

}  // namespace posix
}  // namespace dirtool
