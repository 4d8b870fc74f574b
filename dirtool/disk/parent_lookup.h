// The parent of a differencing disk (or the backing file of an overlay): where its format recorded
// it, then, for a disk copied from another machine, beside the child. Every format with parents
// finds them here, and checks each candidate's identity before it is opened as a disk.
#pragma once

#include "base/bytes.h"
#include "disk/disk.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

// Where a child says its parent is. Paths may be Windows paths ("..\\x.vhdx", "C:\\VMs\\x.vhdx",
// "\\\\?\\C:\\x.vhdx") or host paths; relative ones are taken from the child's folder.
struct parent_locations {
    std::vector<std::string> relative_paths;
    std::vector<std::string> absolute_paths;
    std::vector<std::string> file_names;  // names alone, looked for in the child's folder
};

// Whether the file a candidate holds is the parent the child was made over, from its own bytes;
// false with the reason in `why` ("its unique id differs").
using parent_check = std::function<bool(image_reader& candidate, std::string& why)>;

// The parent's virtual disk, opened as any disk file is (it may be a container of any format,
// with parents of its own) one level deeper than the child at `child_path`. The candidates are
// tried in the order: recorded relative paths, absolute paths, then every recorded name in the
// child's folder; the first that `is_parent` accepts is opened. Null with one message in `error`
// that names the child when none is found or accepted, or the chain is too deep; with an empty
// `child_path` (a disk read from memory) no file is looked for.
std::unique_ptr<image_source> open_parent(const std::string& child_path, const parent_locations& where,
                                          unsigned depth, const parent_check& is_parent, std::string& error);

// The host path a recorded path names: "\\" become "/", a "\\\\?\\" prefix is dropped, and a
// relative one is taken from `folder` (empty for the current one).
std::string host_path_of(const std::string& recorded, const std::string& folder);

// The last component of a path written with "/" or "\\".
std::string last_component(const std::string& path);

// Whether a file name ends in `suffix`, written in lower case, in either case (".VHD", ".vhd").
bool ends_with_ignoring_case(const std::string& name, const char* suffix);

// UTF-16 text as UTF-8, up to its first NUL; a lone surrogate becomes U+FFFD.
std::string utf8_of_utf16(const char* bytes, std::size_t count, bool big_endian);

// Reads `count` bytes at `offset`, all of them on the disk; false with `what` named in `error`
// when they are not there or the host fails.
bool read_exactly(image_reader& disk, std::uint64_t offset, char* data, std::size_t count, const std::string& what,
                  std::string& error);

// What a differencing disk does not hold itself: read from its parent, as zeros past the end of a
// smaller parent, or all zeros when there is no parent. False with the host's message in `why`.
bool read_from_parent(image_reader* parent, std::uint64_t at, char* data, std::size_t count, std::string& why);

// Whether a stored checksum is the one computed. A fuzzing build takes every checksum as good, so
// that the fuzzer reaches the fields the checksums guard.
inline bool checksum_matches(std::uint32_t computed, std::uint32_t stored) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    static_cast<void>(computed);
    static_cast<void>(stored);
    return true;
#else
    return computed == stored;
#endif
}

// Whether `stored` is the CRC-32C of the bytes; never computed in a fuzzing build, where it would
// take most of the time.
inline bool crc32c_matches(const void* bytes, std::size_t count, std::uint32_t stored) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    static_cast<void>(bytes);
    static_cast<void>(count);
    static_cast<void>(stored);
    return true;
#else
    return crc32c(bytes, count) == stored;
#endif
}

}  // namespace dirtool
