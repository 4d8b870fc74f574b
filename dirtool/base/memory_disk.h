// A disk held in memory: the fake that stands in for an image file or a raw disk in unit tests and
// fuzzers, below any layer. It records every read asked of it, and a strict one refuses what a raw
// disk refuses (a read that is not whole aligned sectors, or runs past the end), as a failed read.
#pragma once

#include "base/image_source.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dirtool {

struct disk_log {
    struct read_request {
        std::uint64_t offset;
        std::size_t count;
    };
    std::vector<read_request> reads;
    std::vector<read_request> refused;
};

class memory_disk final : public image_source {
public:
    enum class rules { file, raw_disk };

    memory_disk(std::string bytes, std::size_t sector = 512, rules kind = rules::file,
                std::shared_ptr<disk_log> log = nullptr, std::int64_t modified = 0)
        : bytes_(std::move(bytes)), sector_(sector), kind_(kind), log_(std::move(log)), modified_(modified) {}

    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t sector_size() const override { return sector_; }
    std::int64_t modified() const override { return modified_; }
    file_identity identity() const override { return {}; }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        const bool whole = offset % sector_ == 0 && count % sector_ == 0 &&
                           reinterpret_cast<std::uintptr_t>(data) % sector_ == 0;
        const bool inside = offset <= bytes_.size() && count <= bytes_.size() - offset;
        if (kind_ == rules::raw_disk && (!whole || !inside)) {
            if (log_) log_->refused.push_back({offset, count});
            error = "the disk refuses a read of " + std::to_string(count) + " bytes at " + std::to_string(offset);
            return false;
        }
        if (log_) log_->reads.push_back({offset, count});
        if (offset >= bytes_.size()) return true;
        got = inside ? count : static_cast<std::size_t>(bytes_.size() - offset);
        std::memcpy(data, bytes_.data() + offset, got);
        return true;
    }

private:
    std::string bytes_;
    std::size_t sector_;
    rules kind_;
    std::shared_ptr<disk_log> log_;
    std::int64_t modified_;
};

}  // namespace dirtool
