// Arbitrary bytes as a whole disk: the table reader must read only inside the disk and give back
// partitions that lie inside it, each numbered once, none overlapping another.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "volumes/volumes.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const dirtool::disk_reader read = [data, size](std::uint64_t offset, std::size_t count, char* bytes) {
        check(offset <= size && count <= size - offset);
        std::memcpy(bytes, data + offset, count);
        return true;
    };
    const dirtool::partition_table table = dirtool::read_partition_table(read, size);
    check(table.kind != dirtool::table_kind::none || (table.partitions.empty() && table.problems.empty()));
    check(table.sector_size == 512 || table.sector_size == 4096);
    std::vector<dirtool::partition> by_start = table.partitions;
    for (std::size_t i = 0; i < table.partitions.size(); ++i) {
        const dirtool::partition& p = table.partitions[i];
        check(p.number >= 1 && p.number <= 256);
        check(i == 0 || table.partitions[i - 1].number < p.number);
        check(p.size > 0 && p.start < size && p.size <= size - p.start);
    }
    std::sort(by_start.begin(), by_start.end(),
              [](const dirtool::partition& a, const dirtool::partition& b) { return a.start < b.start; });
    for (std::size_t i = 1; i < by_start.size(); ++i) {
        check(by_start[i - 1].start + by_start[i - 1].size <= by_start[i].start);
    }
    return 0;
}
