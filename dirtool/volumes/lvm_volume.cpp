// A physical volume's group, chosen among the copies of its description, and a logical volume as a
// disk: one window of its physical volume when it is a single run of extents, else a disk that
// maps each byte through its segment and stripe to a physical volume.
#include "volumes/lvm.h"

#include <algorithm>
#include <utility>

namespace dirtool {
namespace lvm {
namespace {

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
    return text;
}

// One segment as the disk reads it: where it starts in the volume and where each stripe's bytes
// begin on its physical volume's disk.
struct mapped_segment {
    std::uint64_t start = 0;  // in bytes in the volume
    std::uint64_t length = 0;
    std::uint64_t stripe_size = 0;  // 0 for one stripe
    std::vector<std::pair<std::shared_ptr<image_reader>, std::uint64_t>> stripes;
};

class volume_source final : public image_source {
public:
    volume_source(std::vector<mapped_segment> segments, std::uint64_t size, std::string name)
        : segments_(std::move(segments)), size_(size), name_(std::move(name)) {}

    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return first_disk().sector_size(); }
    std::int64_t modified() const override { return first_disk().modified(); }
    file_identity identity() const override { return first_disk().identity(); }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        if (offset >= size_) return true;
        const std::size_t wanted = size_ - offset < count ? static_cast<std::size_t>(size_ - offset) : count;
        std::size_t done = 0;
        while (done < wanted) {
            const std::uint64_t at = offset + done;
            const auto after = std::upper_bound(segments_.begin(), segments_.end(), at,
                                                [](std::uint64_t value, const mapped_segment& seg) { return value < seg.start; });
            const mapped_segment& seg = *std::prev(after);
            const std::uint64_t within = at - seg.start;
            std::uint64_t disk_offset = 0;
            std::uint64_t run = seg.length - within;
            std::size_t stripe = 0;
            if (seg.stripe_size != 0) {
                // Chunks of stripe_size go round the stripes in turn.
                const std::uint64_t chunk = within / seg.stripe_size;
                const std::uint64_t in_chunk = within % seg.stripe_size;
                stripe = static_cast<std::size_t>(chunk % seg.stripes.size());
                disk_offset = (chunk / seg.stripes.size()) * seg.stripe_size + in_chunk;
                run = seg.stripe_size - in_chunk;
            } else {
                disk_offset = within;
            }
            const std::size_t part = run < wanted - done ? static_cast<std::size_t>(run) : wanted - done;
            image_reader& disk = *seg.stripes[stripe].first;
            switch (disk.read(seg.stripes[stripe].second + disk_offset, data + done, part, error)) {
                case image_reader::result::done:
                    break;
                case image_reader::result::past_the_end:
                    error = "the disk ends inside the extents of logical volume " + name_;
                    return false;
                case image_reader::result::failed:
                    return false;
            }
            done += part;
        }
        got = wanted;
        return true;
    }

private:
    image_source& first_disk() const { return segments_.front().stripes.front().first->source(); }

    std::vector<mapped_segment> segments_;
    std::uint64_t size_;
    std::string name_;
};

}  // namespace

bool read_volume_group(const disk_reader& read, std::uint64_t disk_size, const pv_label& label,
                       volume_group& group, std::size_t& this_pv, std::string& problem) {
    std::vector<std::string> problems;
    const std::vector<std::string> texts = read_metadata_texts(read, disk_size, label, problems);
    bool found = false;
    for (const std::string& text : texts) {
        metadata_section root;
        volume_group copy;
        std::string wrong;
        if (!parse_metadata(text, root, wrong) || !build_volume_group(root, copy, wrong)) {
            problems.push_back("its volume group's description: " + wrong);
        } else if (!found || copy.seqno > group.seqno) {
            group = std::move(copy);
            found = true;
        }
    }
    if (!found) {
        if (!problems.empty()) {
            problem = joined(problems);
        } else {
            problem = label.metadata_areas.empty() ? "it keeps no copy of its volume group's description"
                                                   : "it belongs to no volume group";
        }
        return false;
    }
    const auto named = std::find_if(group.pvs.begin(), group.pvs.end(),
                                    [&label](const physical_volume& pv) { return pv.uuid == label.uuid; });
    if (named == group.pvs.end()) {
        problem = "the description of volume group " + group.name + " does not name this physical volume";
        return false;
    }
    this_pv = static_cast<std::size_t>(named - group.pvs.begin());
    return true;
}

std::unique_ptr<image_source> open_logical_volume(const volume_group& group, const logical_volume& volume,
                                                  const std::vector<std::shared_ptr<image_reader>>& pv_disks) {
    const auto start_of = [&](const stripe& area) {
        return group.pvs[area.pv].data_start + area.first_extent * group.extent_size;
    };
    if (volume.segments.size() == 1 && volume.segments.front().stripes.size() == 1) {
        const stripe& area = volume.segments.front().stripes.front();
        return open_window(pv_disks[area.pv], start_of(area), volume.size);
    }
    std::vector<mapped_segment> segments;
    for (const segment& seg : volume.segments) {
        mapped_segment mapped;
        mapped.start = seg.start_extent * group.extent_size;
        mapped.length = seg.extent_count * group.extent_size;
        mapped.stripe_size = seg.stripes.size() > 1 ? seg.stripe_size : 0;
        for (const stripe& area : seg.stripes) mapped.stripes.emplace_back(pv_disks[area.pv], start_of(area));
        segments.push_back(std::move(mapped));
    }
    return std::make_unique<volume_source>(std::move(segments), volume.size, group.name + "/" + volume.name);
}

}  // namespace lvm
}  // namespace dirtool
