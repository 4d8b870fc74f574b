// The pieces of VMware's VMDK virtual disks that the disk layer's VMDK and OVA readers share: the
// text descriptor that names a disk's extents and its parent, and the sparse extent (hosted sparse
// and streamOptimized) whose grains are found through a grain directory and grain tables.
#pragma once

#include "disk/disk.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dirtool {

// A descriptor larger than this is not a VMDK descriptor: real ones hold a few hundred bytes.
constexpr std::size_t largest_vmdk_descriptor = 64 * 1024;
// The CID that says "no parent".
constexpr std::uint32_t vmdk_no_parent = 0xffffffffu;

struct vmdk_extent_line {
    enum class kind { sparse, flat, zero };
    kind type = kind::zero;
    std::uint64_t sectors = 0;
    std::string file;             // relative to the descriptor's folder; empty for a zero extent
    std::uint64_t offset = 0;     // a flat extent's first sector in its file
};

struct vmdk_descriptor {
    bool has_cid = false;
    std::uint32_t cid = 0;
    std::uint32_t parent_cid = vmdk_no_parent;
    std::string parent_hint;
    std::string create_type;
    std::vector<vmdk_extent_line> extents;
};

// Parses descriptor text (it ends at its first NUL, as an embedded one is padded with them).
// False with one message in `error` for a line it cannot trust: an extent of an unknown kind, an
// extent named outside the descriptor's folder, a number that is not one.
bool parse_vmdk_descriptor(const char* text, std::size_t length, vmdk_descriptor& descriptor, std::string& error);

// One sparse extent file: its header (or, for a stream written front to back, the footer's copy of
// it), and its grains read on demand, the grain tables through a small cache.
class vmdk_sparse_extent {
public:
    // Null with one message in `error`, which names `name`, when the header cannot be trusted.
    static std::unique_ptr<vmdk_sparse_extent> open(std::shared_ptr<image_reader> file, const std::string& name,
                                                    std::string& error);
    virtual ~vmdk_sparse_extent() = default;

    virtual std::uint64_t sectors() const = 0;
    virtual std::uint64_t grain_bytes() const = 0;
    // The descriptor the extent holds, or nothing.
    virtual const std::string& embedded_descriptor() const = 0;

    enum class grain_state { data, zero, absent, failed };
    // The `count` bytes at `offset`, which lie within one grain, into `data` when the grain is
    // there; `zero` and `absent` leave `data` alone (an absent grain is the parent's).
    virtual grain_state read(std::uint64_t offset, char* data, std::size_t count, std::string& error) = 0;
};

// Whether the bytes start a sparse extent or a descriptor file.
bool starts_vmdk_sparse_extent(const char* head, std::size_t length);
bool starts_vmdk_descriptor(const char* head, std::size_t length);

// The virtual disk of a VMDK file (a sparse extent or a descriptor), as containers open it.
std::unique_ptr<image_source> open_vmdk(std::unique_ptr<image_source> file, const std::string& path, unsigned depth,
                                        std::string& error);

}  // namespace dirtool
