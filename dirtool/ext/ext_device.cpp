// An ext2, ext3 or ext4 file system served as a device, read with libext2fs. Entries come in the
// order the file system stores them; links, device nodes, FIFOs and sockets are listed from their
// inodes and never followed or opened. The image is untrusted: every failure of the library is
// reported, a damaged entry is left out of its listing, and a directory that leads back to one
// above it is refused, so that a walk over a damaged image ends.
#include "ext/ext.h"

#include "ext/ext_channel.h"
#include "ext/ext_entries.h"
#include "ext/ext_open.h"
#include "ext/journal_overlay.h"
#include "host/host_fs.h"

#include <ext2fs/ext2fs.h>

#include <algorithm>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

namespace dirtool {

namespace {

using namespace ext;

constexpr std::uint64_t ext_magic_at = 1024 + 56;  // s_magic, in the superblock 1024 bytes in
constexpr unsigned char ext_magic[2] = {0x53, 0xef};

class image_device final : public device {
public:
    image_device(std::shared_ptr<image_reader> reader, std::unique_ptr<image_window> window, opened_file_system opened)
        : reader_(std::move(reader)), window_(std::move(window)), fs_(opened.fs), groups_(std::move(opened.groups)) {}
    image_device(const image_device&) = delete;
    image_device& operator=(const image_device&) = delete;
    ~image_device() override { ext2fs_close_free(&fs_); }

    outcome list(const std::vector<std::string>& components, std::vector<entry_info>& entries,
                 std::string& error) override {
        ext2_ino_t number = 0;
        ext2_inode_large inode;
        const outcome found = find(components, number, inode, error);
        if (found != outcome::done) return found;
        if (type_of(inode.i_mode) != 'd') return outcome::not_found;

        const std::string path = path_text(components, components.size());
        std::vector<stored_entry> stored;
        std::string directory_error;
        const bool complete = read_directory(number, path, stored, directory_error);

        // Entries whose inode cannot be read are left out; the first such failure is reported.
        std::string entry_error;
        std::size_t damaged = 0;
        for (const stored_entry& item : stored) {
            ext2_inode_large child;
            std::string problem;
            if (read_inode(item.inode, child, problem) && type_of(child.i_mode) != '?') {
                entries.push_back(entry_from(child));
                entries.back().name = item.name;
                continue;
            }
            if (problem.empty()) problem = "inode " + std::to_string(item.inode) + " has no file type";
            if (damaged++ == 0) entry_error = "cannot read \"" + item.name + "\" in " + path + ": " + problem;
        }
        if (damaged > 1) entry_error += " (and " + std::to_string(damaged - 1) + " more entries)";

        error = directory_error;
        if (!entry_error.empty()) error += (error.empty() ? "" : "; ") + entry_error;
        return complete && damaged == 0 ? outcome::done : outcome::failed;
    }

    bool free_space(std::uint64_t& bytes) override {
        bytes = ext2fs_free_blocks_count(fs_->super) * fs_->blocksize;
        return true;
    }

    outcome copy_out(const std::vector<std::string>& components, const std::string& local_name,
                     std::string& error) override {
        ext2_ino_t number = 0;
        ext2_inode_large inode;
        const outcome found = find(components, number, inode, error);
        if (found != outcome::done) return found;
        if (type_of(inode.i_mode) != '-') return outcome::not_regular;

        const std::string path = path_text(components, components.size());
        std::vector<byte_range> ranges;
        if (!data_ranges(number, inode, path, ranges, error)) return outcome::failed;
        copy_target target;
        if (!target.open(local_name, reader_->source().identity(), error)) return outcome::failed;

        ext2_file_t file = nullptr;
        const errcode_t code = ext2fs_file_open2(fs_, number, reinterpret_cast<ext2_inode*>(&inode), 0, &file);
        if (code != 0) {
            error = "cannot open " + path + ": " + library_error(code);
            return outcome::failed;
        }
        const bool copied = copy_ranges(file, ranges, target, path, error);
        ext2fs_file_close(file);
        return copied && target.finish(EXT2_I_SIZE(&inode), error) ? outcome::done : outcome::failed;
    }

private:
    bool read_inode(ext2_ino_t number, ext2_inode_large& inode, std::string& error) {
        // Zeros past what the image stores: a 128-byte inode has no extra fields.
        std::memset(&inode, 0, sizeof inode);
        if (!groups_.use_group_of(number, error)) return false;
        const errcode_t code =
            ext2fs_read_inode_full(fs_, number, reinterpret_cast<ext2_inode*>(&inode), sizeof inode);
        if (code != 0) error = library_error(code);
        return code == 0;
    }

    entry_info entry_from(const ext2_inode_large& inode) const {
        entry_info entry;
        entry.type = type_of(inode.i_mode);
        entry.permissions = inode.i_mode & 0777u;
        entry.links = inode.i_links_count;
        entry.size = EXT2_I_SIZE(&inode);
        entry.mtime = modification_time(inode);
        return entry;
    }

    // Every entry the directory stores, "." and ".." included, in its order. After a failure
    // `entries` holds those read before it.
    bool read_directory(ext2_ino_t number, const std::string& path, std::vector<stored_entry>& entries,
                        std::string& error) {
        directory_reading reading{&entries, false};
        const errcode_t code = ext2fs_dir_iterate2(fs_, number, 0, nullptr, collect_entry, &reading);
        if (reading.out_of_memory) {
            error = "out of memory reading " + path;
            return false;
        }
        if (code != 0) {
            error = "cannot read the directory " + path + ": " + library_error(code);
            return false;
        }
        return true;
    }

    // Looks the components up from the root. Every step but the last must be a directory (a link
    // is never followed), and none may lead back to a directory on the way there: only a damaged
    // file system has such a loop, and a walk over it would never end.
    outcome find(const std::vector<std::string>& components, ext2_ino_t& number, ext2_inode_large& inode,
                 std::string& error) {
        number = EXT2_ROOT_INO;
        std::string problem;
        if (!read_inode(number, inode, problem)) {
            error = "cannot read the root directory: " + problem;
            return outcome::failed;
        }
        std::vector<ext2_ino_t> on_the_way{number};
        for (std::size_t step = 0; step < components.size(); ++step) {
            if (type_of(inode.i_mode) != 'd') return outcome::not_found;
            name_lookup lookup{&components[step], 0};
            const errcode_t code = ext2fs_dir_iterate2(fs_, number, 0, nullptr, match_entry, &lookup);
            if (code != 0) {
                error = "cannot read the directory " + path_text(components, step) + ": " + library_error(code);
                return outcome::failed;
            }
            if (lookup.found == 0) return outcome::not_found;
            number = lookup.found;
            const std::string reached = path_text(components, step + 1);
            if (std::find(on_the_way.begin(), on_the_way.end(), number) != on_the_way.end()) {
                error = reached + " leads back to a directory above it: the file system is damaged";
                return outcome::failed;
            }
            on_the_way.push_back(number);
            if (!read_inode(number, inode, problem)) {
                error = "cannot read " + reached + ": " + problem;
                return outcome::failed;
            }
        }
        return outcome::done;
    }

    // The parts of the file that hold data, in bytes up to its size; the rest reads as zeros. Data
    // stored inside the inode is one part from the start.
    bool data_ranges(ext2_ino_t number, const ext2_inode_large& inode, const std::string& path,
                     std::vector<byte_range>& ranges, std::string& error) {
        const std::uint64_t size = EXT2_I_SIZE(&inode);
        if ((inode.i_flags & EXT4_INLINE_DATA_FL) != 0) {
            ranges.push_back({0, size});
            return true;
        }
        std::vector<block_run> runs;
        const errcode_t code = ext2fs_block_iterate3(fs_, number, BLOCK_FLAG_READ_ONLY | BLOCK_FLAG_DATA_ONLY,
                                                     nullptr, note_data_block, &runs);
        if (code != 0) {
            error = "cannot read the block map of " + path + ": " + library_error(code);
            return false;
        }
        // Blocks past the size may be preallocated; they hold nothing of the file.
        const std::uint64_t block_size = fs_->blocksize;
        for (const block_run& run : runs) {
            const std::uint64_t first = static_cast<std::uint64_t>(run.first) * block_size;
            const std::uint64_t end = std::min(size, static_cast<std::uint64_t>(run.end) * block_size);
            if (first < end) ranges.push_back({first, end});
        }
        return true;
    }

    bool copy_ranges(ext2_file_t file, const std::vector<byte_range>& ranges, copy_target& target,
                     const std::string& path, std::string& error) {
        std::vector<char> buffer(1 << 16);
        for (const byte_range& range : ranges) {
            std::uint64_t position = range.first;
            errcode_t code = ext2fs_file_llseek(file, position, EXT2_SEEK_SET, nullptr);
            while (code == 0 && position < range.end) {
                const auto wanted = static_cast<unsigned>(std::min<std::uint64_t>(buffer.size(), range.end - position));
                unsigned got = 0;
                code = ext2fs_file_read(file, buffer.data(), wanted, &got);
                if (code == 0 && got == 0) break;  // inline data may end before the size
                if (code == 0 && !target.write_at(position, buffer.data(), got, error)) return false;
                position += got;
            }
            if (code != 0) {
                error = "cannot read " + path + ": " + library_error(code);
                return false;
            }
        }
        return true;
    }

    // Read through by the file system until it is closed.
    std::shared_ptr<image_reader> reader_;
    std::unique_ptr<image_window> window_;
    ext2_filsys fs_;
    group_descriptors groups_;  // of fs_, each read as the first inode of its group is
};

}  // namespace

bool has_ext_magic(image_reader& disk) {
    unsigned char magic[2] = {};
    std::string ignored;
    const bool primary = disk.source().size() >= ext_magic_at + sizeof magic &&
                         disk.read(ext_magic_at, reinterpret_cast<char*>(magic), sizeof magic, ignored) ==
                             image_reader::result::done &&
                         std::equal(magic, magic + sizeof magic, ext_magic);
    return primary || has_backup_superblock(image_window{&disk, 0, disk.source().size(), nullptr, nullptr});
}

bool ext_last_written(const std::shared_ptr<image_reader>& disk, std::int64_t& seconds) {
    const image_window window{disk.get(), 0, disk->source().size(), nullptr, nullptr};
    ext2_filsys fs = nullptr;
    // The superblock alone: the descriptors are not needed for the time.
    if (open_file_system(window, EXT2_FLAG_64BITS | EXT2_FLAG_SUPER_ONLY, 0, 0, fs) != 0) return false;
    seconds = static_cast<std::int64_t>(fs->super->s_wtime) | (static_cast<std::int64_t>(fs->super->s_wtime_hi) << 32);
    ext2fs_close_free(&fs);
    return seconds != 0;
}

std::unique_ptr<device> open_ext_device(const std::shared_ptr<image_reader>& disk, const std::string& name,
                                        std::string& error) {
    auto window = std::make_unique<image_window>(image_window{disk.get(), 0, disk->source().size(), nullptr, nullptr});
    recover_journal(*window, name);
    opened_file_system opened;
    if (!open_with_backups(*window, opened, error)) {
        error = name + ": no file system this tool can read: " + error;
        return nullptr;
    }
    for (const std::string& notice : opened.notices) std::fprintf(stderr, "%s: %s\n", name.c_str(), notice.c_str());
    return std::make_unique<image_device>(disk, std::move(window), std::move(opened));
}

}  // namespace dirtool
