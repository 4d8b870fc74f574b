// Arbitrary bytes as a VHD file: opening and reading its virtual disk must read only inside the
// file, end with a message or a disk, and neither crash nor hang.
#include "container_fuzzer.h"

namespace dirtool {
extern const container_format vhd_format;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return container_fuzzing::fuzz_one(dirtool::vhd_format, data, size);
}
