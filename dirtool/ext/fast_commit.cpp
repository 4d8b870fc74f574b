#include "ext/fast_commit.h"

#include "base/bytes.h"
#include "ext/journal_format.h"

#include <utility>

namespace dirtool {
namespace {

enum tag : std::uint16_t {
    add_range = 1, delete_range = 2, create = 3, link = 4, unlink = 5, inode = 6, pad = 7, tail = 8, head = 9
};

constexpr std::uint32_t record_header = 4;  // the tag and the value's length, both 16-bit
constexpr std::uint32_t good_old_inode_size = 128;
constexpr std::uint32_t longest_name = 255;
constexpr std::uint32_t initialized_extent_limit = 32768;  // longer lengths mark unwritten extents

class area_reader {
public:
    area_reader(std::uint32_t tid, const fast_commit_bounds& bounds, fast_commit_log& log)
        : tid_(tid), bounds_(bounds), log_(log) {}

    // Takes the records of one block; false once the fast commits have ended.
    bool take_block(const unsigned char* block, std::uint32_t block_size) {
        for (std::uint32_t offset = 0; offset + record_header <= block_size;) {
            const std::uint16_t type = load_le16(block + offset);
            const std::uint32_t length = load_le16(block + offset + 2);
            if (!started_ && type != head) return false;  // no fast commit of this transaction
            if (type == 0) return false;  // an area never written past here
            if (length > block_size - offset - record_header) return stop("a fast-commit record runs past its block");
            if (!take_record(type, block + offset, length)) return false;
            offset += record_header + length;
        }
        return true;
    }

private:
    bool stop(const std::string& damage) {
        log_.damage = damage;
        return false;
    }

    bool take_record(std::uint16_t type, const unsigned char* record, std::uint32_t length) {
        const unsigned char* value = record + record_header;
        if (type == tail) {
            if (length < 8) return stop("a fast commit's TAIL is " + std::to_string(length) + " bytes long");
            // The CRC covers the records since the last TAIL and this one up to its CRC field.
            const std::uint32_t crc = journal_format::chained_crc32c(crc_, record, record_header + 4);
            crc_ = 0;
            if (load_le32(value) != tid_) return false;  // an older transaction's fast commit
            if (load_le32(value + 4) != crc) return stop("a fast commit fails its checksum");
            for (fast_commit_change& change : pending_) log_.changes.push_back(std::move(change));
            pending_.clear();
            ++log_.commits;
            log_.commit_ends.push_back(log_.changes.size());
            return true;
        }
        crc_ = journal_format::chained_crc32c(crc_, record, record_header + length);
        if (type == head) {
            if (length != 8) return stop("a fast commit's HEAD is " + std::to_string(length) + " bytes long");
            if (load_le32(value) != 0) return stop("a fast commit uses features this tool does not know");
            if (load_le32(value + 4) != tid_) return false;  // the area holds an older transaction's
            started_ = true;
            return true;
        }
        if (type == pad) return true;
        if (log_.changes.size() + pending_.size() >= bounds_.most_changes) {
            return stop("the fast commits hold more than " + std::to_string(bounds_.most_changes) + " records");
        }
        fast_commit_change change;
        if (!decode(type, value, length, change)) return false;
        pending_.push_back(std::move(change));
        return true;
    }

    bool known_inode(std::uint32_t number) const { return number >= 1 && number <= bounds_.inodes; }

    bool decode(std::uint16_t type, const unsigned char* value, std::uint32_t length, fast_commit_change& change) {
        const std::string kind_name = type == add_range      ? "ADD_RANGE"
                                      : type == delete_range ? "DEL_RANGE"
                                      : type == create       ? "CREAT"
                                      : type == link         ? "LINK"
                                      : type == unlink       ? "UNLINK"
                                      : type == inode        ? "INODE"
                                                             : "";
        if (kind_name.empty()) return stop("a fast-commit record of unknown type " + std::to_string(type));
        const std::string bad = "a fast commit's " + kind_name + " record ";
        if (length < 4) return stop(bad + "is " + std::to_string(length) + " bytes long");
        change.inode = load_le32(value);
        if (type == create || type == link || type == unlink) {
            if (length < 9 || length > 8 + longest_name) {
                return stop(bad + "is " + std::to_string(length) + " bytes long");
            }
            change.kind = type == create ? fast_commit_kind::create
                          : type == link ? fast_commit_kind::link
                                         : fast_commit_kind::unlink;
            change.parent = change.inode;
            change.inode = load_le32(value + 4);
            change.bytes.assign(reinterpret_cast<const char*>(value + 8), length - 8);
            const std::string& name = change.bytes;
            if (name == "." || name == ".." || name.find('/') != std::string::npos ||
                name.find('\0') != std::string::npos) {
                return stop(bad + "names an entry no directory may hold");
            }
            if (!known_inode(change.parent)) {
                return stop(bad + "names directory inode " + std::to_string(change.parent) + ", outside the file system");
            }
        } else if (type == inode) {
            if (length < 4 + good_old_inode_size || length > 4 + bounds_.inode_size) {
                return stop(bad + "is " + std::to_string(length) + " bytes long");
            }
            change.kind = fast_commit_kind::inode;
            change.bytes.assign(reinterpret_cast<const char*>(value + 4), length - 4);
        } else if (type == add_range) {
            if (length != 16) return stop(bad + "is " + std::to_string(length) + " bytes long");
            // An on-disk extent: first logical block, length, physical block high 16 and low 32 bits.
            change.kind = fast_commit_kind::add_range;
            change.logical = load_le32(value + 4);
            change.length = load_le16(value + 8);
            change.physical = (std::uint64_t{load_le16(value + 10)} << 32) | load_le32(value + 12);
            if (change.length > initialized_extent_limit) {
                change.unwritten = true;
                change.length -= initialized_extent_limit;
            }
            if (change.length == 0 || change.physical < bounds_.first_data_block ||
                saturated_sum(change.physical, change.length) > bounds_.blocks) {
                return stop(bad + "maps blocks outside the file system");
            }
        } else {
            if (length != 12) return stop(bad + "is " + std::to_string(length) + " bytes long");
            change.kind = fast_commit_kind::delete_range;
            change.logical = load_le32(value + 4);
            change.length = load_le32(value + 8);
        }
        if (std::uint64_t{change.logical} + change.length > (std::uint64_t{1} << 32)) {
            return stop(bad + "names blocks past a file's last possible block");
        }
        if (!known_inode(change.inode)) {
            return stop(bad + "names inode " + std::to_string(change.inode) + ", outside the file system");
        }
        return true;
    }

    std::uint32_t tid_;
    const fast_commit_bounds& bounds_;
    fast_commit_log& log_;
    bool started_ = false;
    std::uint32_t crc_ = 0;  // a raw CRC-32C register from 0, as the kernel chains it
    std::vector<fast_commit_change> pending_;  // the records of the fast commit not yet closed
};

}  // namespace

void read_fast_commits(journal_blocks& journal, std::uint32_t first, std::uint32_t end, std::uint32_t block_size,
                       std::uint32_t tid, const fast_commit_bounds& bounds, fast_commit_log& log) {
    log = fast_commit_log{};
    area_reader reader(tid, bounds, log);
    std::vector<unsigned char> block(block_size);
    for (std::uint32_t number = first; number < end; ++number) {
        std::string error;
        if (!journal.read(number, block.data(), error)) {
            log.damage = "cannot read the journal: " + error;
            return;
        }
        if (!reader.take_block(block.data(), block_size)) return;
    }
}

}  // namespace dirtool
