// A device as the stand-in tool serves it: a folder of the host, a file system on a disk, or the
// partitions and volumes of a whole disk. The tool's two commands are written once, over this
// interface.
#pragma once

#include "base/entry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dirtool {

enum class outcome {
    done,
    not_found,    // no such entry, or a directory asked for where there is none; the error may say why
    not_regular,  // a copy asked for a link, device, directory or other non-regular entry
    failed,       // the host or the device could not be read; the error says how
};

class device {
public:
    virtual ~device() = default;

    // Whether a path component can name an entry here at all. A device on a disk takes every name
    // its file system stores; a folder of the host refuses what the host's API would read as
    // something else (a drive, a wildcard).
    virtual bool accepts(const std::string& component) const {
        static_cast<void>(component);
        return true;
    }

    // The directory at `components`: its entries "." and ".." and then every other, in this device's
    // order. After a failure `entries` holds what could be read.
    virtual outcome list(const std::vector<std::string>& components, std::vector<entry_info>& entries,
                         std::string& error) = 0;

    // Free space on the device in bytes; false when it cannot be told.
    virtual bool free_space(std::uint64_t& bytes) = 0;

    // Copies the regular file at `components` into `local_name`, a name in the current folder.
    virtual outcome copy_out(const std::vector<std::string>& components, const std::string& local_name,
                             std::string& error) = 0;
};

}  // namespace dirtool
