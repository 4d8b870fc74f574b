// Where sfdisk says each partition of an image starts and how long it is: the reference the tests
// of the partition table reader, and of whole disks served as devices, hold the tool to.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace sfdisk_report {

struct reported_partition {
    unsigned number = 0;
    std::uint64_t start_sector = 0;
    std::uint64_t sectors = 0;
    std::string type;  // "83", "5", or a GPT type's GUID

    // An MBR's extended partition only holds the chain of logical ones.
    bool is_extended() const { return type == "5" || type == "f" || type == "85"; }
};

// What `sfdisk --json IMAGE` reports, in its order; each "node" is the image's name followed by the
// partition's number.
inline std::vector<reported_partition> partitions_of(const std::string& sfdisk, const std::string& image) {
    std::string json;
    if (FILE* pipe = popen((sfdisk + " --json '" + image + "' 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) json.append(buffer, got);
        pclose(pipe);
    }
    const auto number_after = [&json](const std::string& key, std::size_t& at) -> std::uint64_t {
        at = json.find("\"" + key + "\": ", at);
        if (at == std::string::npos) return 0;
        at += key.size() + 4;
        return std::strtoull(json.c_str() + at, nullptr, 10);
    };
    std::vector<reported_partition> partitions;
    const std::string node = "\"node\": \"" + image;
    for (std::size_t at = json.find(node); at != std::string::npos; at = json.find(node, at)) {
        at += node.size();
        reported_partition found;
        found.number = static_cast<unsigned>(std::strtoul(json.c_str() + at, nullptr, 10));
        found.start_sector = number_after("start", at);
        found.sectors = number_after("size", at);
        const std::size_t type = json.find("\"type\": \"", at);
        if (type == std::string::npos) break;
        const std::size_t from = type + 9;
        found.type = json.substr(from, json.find('"', from) - from);
        partitions.push_back(found);
    }
    return partitions;
}

}  // namespace sfdisk_report
