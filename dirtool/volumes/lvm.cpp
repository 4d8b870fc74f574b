// The volume group a parsed description holds: its physical volumes by UUID, its extent size, and
// each visible logical volume with its segments. Linear and striped segments are checked to lie on
// their physical volumes, to follow each other from extent 0 and to share no extent with another
// volume; a volume of another kind is kept with what it is, since it is listed all the same.
#include "volumes/lvm.h"

#include "base/bytes.h"

#include <algorithm>
#include <map>

namespace dirtool {
namespace lvm {
namespace {

constexpr std::uint64_t sector_bytes = 512;
// LVM keeps the extent size in 32 bits of sectors, and writes at most 128 stripes.
constexpr std::uint64_t largest_extent_sectors = 0xffffffffu;
constexpr std::uint64_t most_stripes = 128;

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

bool whole_number(const metadata_section& section, const char* key, std::uint64_t& out) {
    const metadata_value* found = section.value(key);
    if (found == nullptr || found->type != metadata_value::kind::number || found->number < 0) return false;
    out = static_cast<std::uint64_t>(found->number);
    return true;
}

std::string text_of(const metadata_section& section, const char* key) {
    const metadata_value* found = section.value(key);
    return found != nullptr && found->type == metadata_value::kind::text ? found->text : "";
}

bool has_flag(const metadata_section& section, const char* key, const char* flag) {
    const metadata_value* found = section.value(key);
    if (found == nullptr || found->type != metadata_value::kind::list) return false;
    return std::any_of(found->items.begin(), found->items.end(), [flag](const metadata_value& item) {
        return item.type == metadata_value::kind::text && item.text == flag;
    });
}

// What a segment of a type other than "striped" makes of its volume, as the volume's message says.
std::string kind_of(const std::string& type) {
    const std::string not_read = ": not read (this tool reads linear and striped volumes)";
    if (type == "thin") return "a thin volume, whose blocks its pool maps" + not_read;
    if (type == "thin-pool") return "a thin pool, the store of thin volumes" + not_read;
    if (type == "cache" || type == "writecache") return "a cached volume, whose latest blocks may be in its cache" + not_read;
    if (type == "cache-pool") return "a cache pool" + not_read;
    if (type == "mirror") return "a mirrored volume" + not_read;
    if (type.compare(0, 4, "raid") == 0) return "a RAID volume (" + type + ")" + not_read;
    if (type == "snapshot") return "a snapshot" + not_read;
    return "a volume of type " + quoted(type) + not_read;
}

class group_builder {
public:
    group_builder(volume_group& group, std::string& problem) : group_(group), problem_(problem) {}

    bool build(const metadata_section& root) {
        if (root.sections.size() != 1) return fail("the description holds " + std::to_string(root.sections.size()) +
                                                   " volume groups, not one");
        const auto& [name, vg] = root.sections.front();
        group_.name = name;
        std::uint64_t extent_sectors = 0;
        if (!whole_number(vg, "seqno", group_.seqno)) return fail("volume group " + name + " has no seqno");
        if (!whole_number(vg, "extent_size", extent_sectors) || extent_sectors == 0 ||
            extent_sectors > largest_extent_sectors) {
            return fail("volume group " + name + " has no sound extent size");
        }
        group_.extent_size = extent_sectors * sector_bytes;
        const metadata_section* pvs = vg.section("physical_volumes");
        if (pvs == nullptr) return fail("volume group " + name + " names no physical volumes");
        for (const auto& [key, pv] : pvs->sections) {
            if (!add_pv(key, pv)) return false;
        }
        if (const metadata_section* lvs = vg.section("logical_volumes")) {
            for (const auto& [key, lv] : lvs->sections) add_lv(key, lv);
        }
        mark_snapshots();
        mark_overlaps();
        for (std::size_t i = 0; i < all_.size(); ++i) {
            if (!visible_[i]) continue;
            if (all_[i].name == "." || all_[i].name == "..") {
                group_.problems.push_back("a logical volume named " + quoted(all_[i].name) + ": left out");
            } else {
                group_.lvs.push_back(all_[i]);
            }
        }
        return true;
    }

private:
    bool fail(const std::string& text) {
        problem_ = text;
        return false;
    }

    bool add_pv(const std::string& key, const metadata_section& pv) {
        physical_volume found;
        found.key = key;
        for (const char c : text_of(pv, "id")) {
            if (c != '-') found.uuid += c;
        }
        std::uint64_t start_sector = 0;
        if (found.uuid.size() != 32 || !whole_number(pv, "pe_start", start_sector) ||
            !whole_number(pv, "pe_count", found.extent_count)) {
            return fail("physical volume " + key + " of volume group " + group_.name + " is not described whole");
        }
        found.data_start = saturated_product(start_sector, sector_bytes);
        const std::uint64_t end = saturated_sum(found.data_start, saturated_product(found.extent_count, group_.extent_size));
        std::uint64_t device_sectors = 0;
        if (end == no_bytes_left ||
            (whole_number(pv, "dev_size", device_sectors) && end > saturated_product(device_sectors, sector_bytes))) {
            return fail("physical volume " + key + " of volume group " + group_.name +
                        " claims more extents than its device holds");
        }
        for (const physical_volume& other : group_.pvs) {
            if (other.uuid == found.uuid) {
                return fail("volume group " + group_.name + " names physical volume " + found.uuid + " twice (" +
                            other.key + " and " + key + ")");
            }
        }
        group_.pvs.push_back(found);
        return true;
    }

    std::size_t pv_index(const std::string& key) const {
        for (std::size_t i = 0; i < group_.pvs.size(); ++i) {
            if (group_.pvs[i].key == key) return i;
        }
        return group_.pvs.size();
    }

    // A striped segment's areas: pairs of a physical volume and its first extent there.
    std::string read_stripes(const metadata_section& section, segment& seg) {
        std::uint64_t count = 0;
        const metadata_value* list = section.value("stripes");
        if (!whole_number(section, "stripe_count", count) || count == 0 || count > most_stripes || list == nullptr ||
            list->type != metadata_value::kind::list || list->items.size() != 2 * count) {
            return "its stripes are not described whole";
        }
        if (seg.extent_count % count != 0) return "its extents do not divide among its stripes";
        const std::uint64_t per_stripe = seg.extent_count / count;
        if (count > 1) {
            std::uint64_t stripe_sectors = 0;
            if (!whole_number(section, "stripe_size", stripe_sectors) || stripe_sectors == 0 ||
                stripe_sectors > largest_extent_sectors || group_.extent_size % (stripe_sectors * sector_bytes) != 0) {
                return "its stripe size does not divide its extents";
            }
            seg.stripe_size = stripe_sectors * sector_bytes;
        }
        for (std::size_t i = 0; i < list->items.size(); i += 2) {
            const metadata_value& name = list->items[i];
            const metadata_value& first = list->items[i + 1];
            if (name.type != metadata_value::kind::text || first.type != metadata_value::kind::number || first.number < 0) {
                return "its stripes are not described whole";
            }
            const std::size_t pv = pv_index(name.text);
            if (pv == group_.pvs.size()) return "it names physical volume " + quoted(name.text) + ", which the group has not";
            const auto first_extent = static_cast<std::uint64_t>(first.number);
            if (first_extent > group_.pvs[pv].extent_count || per_stripe > group_.pvs[pv].extent_count - first_extent) {
                return "it lies past the end of physical volume " + name.text;
            }
            seg.stripes.push_back({pv, first_extent});
        }
        return "";
    }

    void add_lv(const std::string& name, const metadata_section& lv) {
        logical_volume volume;
        volume.name = name;
        std::uint64_t declared = 0;
        const bool counted = whole_number(lv, "segment_count", declared);
        std::string kind;
        for (const auto& [key, section] : lv.sections) {
            if (key.compare(0, 7, "segment") != 0) continue;
            segment seg;
            const std::string type = text_of(section, "type");
            if (!whole_number(section, "start_extent", seg.start_extent) ||
                !whole_number(section, "extent_count", seg.extent_count) || seg.extent_count == 0) {
                damage(volume, key + " is not described whole");
            } else if (type == "striped") {
                const std::string wrong = read_stripes(section, seg);
                if (!wrong.empty()) damage(volume, key + ": " + wrong);
            } else if (kind.empty()) {
                kind = kind_of(type);
                if (type == "snapshot") snapshots_.emplace_back(text_of(section, "cow_store"), text_of(section, "origin"));
            }
            volume.segments.push_back(seg);
        }
        std::sort(volume.segments.begin(), volume.segments.end(),
                  [](const segment& a, const segment& b) { return a.start_extent < b.start_extent; });
        std::uint64_t next = 0;
        for (const segment& seg : volume.segments) {
            if (seg.start_extent != next) {
                damage(volume, "its segments do not follow each other from extent 0");
                break;
            }
            next = saturated_sum(next, seg.extent_count);
        }
        if (!counted || declared != volume.segments.size() || volume.segments.empty()) {
            damage(volume, "its segment count does not add up");
        }
        volume.size = saturated_product(next, group_.extent_size);
        if (volume.size == no_bytes_left) damage(volume, "its size does not fit in 64 bits");
        if (volume.not_read.empty() && !kind.empty()) volume.not_read = kind;
        visible_.push_back(has_flag(lv, "status", "VISIBLE"));
        all_.push_back(std::move(volume));
    }

    void damage(logical_volume& volume, const std::string& what) {
        if (!volume.not_read.empty() && volume.not_read.find(": not read") == std::string::npos) return;
        volume.not_read = "its description is damaged: " + what;
        group_.problems.push_back("logical volume " + volume.name + ": " + what);
    }

    // An old-style snapshot is a hidden volume of type "snapshot" whose changes are kept in a visible
    // one, the store, which is what a user knows as the snapshot.
    void mark_snapshots() {
        for (const auto& [store, origin] : snapshots_) {
            for (logical_volume& volume : all_) {
                if (volume.name == store && volume.not_read.empty()) {
                    volume.not_read = "a snapshot of " + origin + ", kept as the changes made to it since: not read";
                }
            }
        }
    }

    // Two volumes that claim the same extent cannot both be right: neither is read.
    void mark_overlaps() {
        struct claim {
            std::uint64_t first, count;
            std::size_t volume;
        };
        std::map<std::size_t, std::vector<claim>> by_pv;
        for (std::size_t i = 0; i < all_.size(); ++i) {
            for (const segment& seg : all_[i].segments) {
                const std::uint64_t per_stripe = seg.stripes.empty() ? 0 : seg.extent_count / seg.stripes.size();
                for (const stripe& area : seg.stripes) by_pv[area.pv].push_back({area.first_extent, per_stripe, i});
            }
        }
        for (auto& [pv, claims] : by_pv) {
            std::sort(claims.begin(), claims.end(), [](const claim& a, const claim& b) { return a.first < b.first; });
            // Against the claim that reaches furthest so far, which any later overlap meets.
            std::size_t furthest = 0;
            for (std::size_t i = 1; i < claims.size(); ++i) {
                const claim& before = claims[furthest];
                if (claims[i].first + claims[i].count > before.first + before.count) furthest = i;
                if (before.first + before.count <= claims[i].first) continue;
                const std::string where = "its extents on " + group_.pvs[pv].key + " overlap those of ";
                damage(all_[claims[i].volume], where + all_[before.volume].name);
                damage(all_[before.volume], where + all_[claims[i].volume].name);
            }
        }
    }

    volume_group& group_;
    std::string& problem_;
    std::vector<logical_volume> all_;
    std::vector<bool> visible_;
    std::vector<std::pair<std::string, std::string>> snapshots_;  // store, origin
};

}  // namespace

bool build_volume_group(const metadata_section& root, volume_group& group, std::string& problem) {
    group = volume_group{};
    return group_builder(group, problem).build(root);
}

}  // namespace lvm
}  // namespace dirtool
