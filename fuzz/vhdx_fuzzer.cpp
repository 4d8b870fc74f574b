// Arbitrary bytes as a VHDX file: opening and reading its virtual disk must read only inside the
// file, end with a message or a disk, and neither crash nor hang.
#include "container_fuzzer.h"

namespace dirtool {
extern const container_format vhdx_format;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return container_fuzzing::fuzz_one(dirtool::vhdx_format, data, size);
}
