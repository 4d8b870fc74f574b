// Arbitrary bytes as a volume group's description: the parser and the group builder must end with
// a message or a group whose readable volumes lie on their physical volumes, follow each other from
// extent 0 and share no extent; every byte of such a volume then reads from inside its volumes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "volumes/lvm.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// A physical volume's disk of any size that holds zeros and checks each read lies inside it.
class zero_disk final : public dirtool::image_source {
public:
    explicit zero_disk(std::uint64_t size) : size_(size) {}
    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return 512; }
    std::int64_t modified() const override { return 0; }
    dirtool::file_identity identity() const override { return {}; }
    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got, std::string&) override {
        check(offset % 512 == 0 && count % 512 == 0 && offset < size_);
        got = size_ - offset < count ? static_cast<std::size_t>(size_ - offset) : count;
        std::memset(data, 0, got);
        return true;
    }

private:
    std::uint64_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dirtool::lvm;
    const std::string text(reinterpret_cast<const char*>(data), size);
    metadata_section root;
    std::string problem;
    if (!parse_metadata(text, root, problem)) {
        check(!problem.empty());
        return 0;
    }
    volume_group group;
    if (!build_volume_group(root, group, problem)) {
        check(!problem.empty());
        return 0;
    }
    check(group.extent_size > 0 && group.extent_size % 512 == 0);
    std::vector<std::shared_ptr<dirtool::image_reader>> disks;
    for (const physical_volume& pv : group.pvs) {
        const std::uint64_t end = pv.data_start + pv.extent_count * group.extent_size;
        check(end >= pv.data_start);
        disks.push_back(std::make_shared<dirtool::image_reader>(std::make_unique<zero_disk>(end)));
    }
    for (const logical_volume& lv : group.lvs) {
        check(lv.name != "." && lv.name != ".." && !lv.name.empty());
        if (!lv.not_read.empty()) continue;
        std::uint64_t next = 0;
        for (const segment& seg : lv.segments) {
            check(seg.start_extent == next && !seg.stripes.empty() && seg.extent_count % seg.stripes.size() == 0);
            for (const stripe& area : seg.stripes) {
                check(area.pv < group.pvs.size());
                check(area.first_extent + seg.extent_count / seg.stripes.size() <= group.pvs[area.pv].extent_count);
            }
            next += seg.extent_count;
        }
        check(lv.size == next * group.extent_size);
        dirtool::image_reader volume(open_logical_volume(group, lv, disks));
        check(volume.source().size() == lv.size);
        // The first bytes, some from the middle across a stripe's edge, and the last ones.
        char bytes[3 * 4096];
        std::string error;
        for (const std::uint64_t at : {std::uint64_t{0}, lv.size / 2 - lv.size / 2 % 512, lv.size - 512}) {
            const std::size_t count = std::min<std::uint64_t>(sizeof bytes, lv.size - at);
            check(volume.read(at, bytes, count, error) == dirtool::image_reader::result::done);
        }
    }
    return 0;
}
