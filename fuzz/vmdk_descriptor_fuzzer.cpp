// Arbitrary text as a VMDK descriptor: the parser must stay inside the text, and every extent it
// gives back must be named inside the descriptor's folder with a size a disk can have.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "disk/vmdk.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool has_parent_component(const std::string& name) {
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        if (end - start == 2 && name.compare(start, 2, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dirtool::vmdk_descriptor descriptor;
    std::string error;
    const bool parsed = dirtool::parse_vmdk_descriptor(reinterpret_cast<const char*>(data), size, descriptor, error);
    check(parsed == error.empty());
    if (!parsed) return 0;
    for (const dirtool::vmdk_extent_line& extent : descriptor.extents) {
        check(extent.sectors <= (std::uint64_t{1} << 47) && extent.offset <= (std::uint64_t{1} << 47));
        if (extent.type == dirtool::vmdk_extent_line::kind::zero) continue;
        check(!extent.file.empty() && extent.file[0] != '/' && extent.file[0] != '\\');
        check(extent.file.find(':') == std::string::npos && !has_parent_component(extent.file));
    }
    return 0;
}
