// Image files and block devices on POSIX hosts, opened for reading only.
#include "host/host_fs.h"

#include "host/posix_helpers.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <stdlib.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace dirtool {

namespace {

using namespace posix;

class posix_image_file final : public image_source {
public:
    posix_image_file(int descriptor, const struct stat& status, std::uint64_t size)
        : descriptor_(descriptor), status_(status), size_(size) {}
    posix_image_file(const posix_image_file&) = delete;
    posix_image_file& operator=(const posix_image_file&) = delete;
    ~posix_image_file() override { close(descriptor_); }

    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return 512; }
    std::int64_t modified() const override { return static_cast<std::int64_t>(status_.st_mtime); }
    file_identity identity() const override { return identity_of(status_); }
    file_version version() const override {
        if (!S_ISREG(status_.st_mode)) return {};  // a disk is written without its times changing
        const auto nanoseconds = [](const timespec& time) {
            return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
        };
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const std::int64_t modified = nanoseconds(status_.st_mtim);
        const std::int64_t changed = nanoseconds(status_.st_ctim);
        if (nanoseconds(now) - std::max(modified, changed) < settling_ns) return {};
        return {identity_of(status_), size_, modified, changed, 0, size_, true};
    }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        while (got < count && fits_in_off_t(offset + got)) {
            const ssize_t part = pread(descriptor_, data + got, count - got, static_cast<off_t>(offset + got));
            if (part < 0 && errno == EINTR) continue;
            if (part < 0) {
                error = describe_errno("reading the image");
                return false;
            }
            if (part == 0) break;
            got += static_cast<std::size_t>(part);
        }
        return true;
    }

private:
    int descriptor_;
    struct stat status_;
    std::uint64_t size_;
};
}  // namespace

std::unique_ptr<image_source> open_image_file(const std::string& path, std::string& error) {
    // Only regular files and disks are opened: opening a FIFO would wait for a writer that never
    // comes, and opening some character devices has effects of its own.
    struct stat named {};
    if (stat(path.c_str(), &named) != 0) {
        error = describe_errno(path);
        return nullptr;
    }
    if (!S_ISREG(named.st_mode) && !S_ISBLK(named.st_mode)) {
        error = path + ": not a disk image: neither a regular file nor a block device";
        return nullptr;
    }
    // O_NONBLOCK in case the path was replaced by a FIFO since; fstat refuses it then.
    const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        error = describe_errno(path);
        return nullptr;
    }
    struct stat status {};
    std::uint64_t size = 0;
    std::string problem;
    if (fstat(descriptor, &status) != 0) {
        problem = describe_errno(path);
    } else if (S_ISREG(status.st_mode)) {
        size = static_cast<std::uint64_t>(status.st_size);
    } else if (!S_ISBLK(status.st_mode)) {
        problem = path + ": not a disk image: neither a regular file nor a block device";
    } else if (ioctl(descriptor, BLKGETSIZE64, &size) != 0) {
        problem = describe_errno(path);
    }
    if (!problem.empty()) {
        error = problem;
        close(descriptor);
        return nullptr;
    }
    return std::make_unique<posix_image_file>(descriptor, status, size);
}

std::string resolved_path(const std::string& path) {
    char* const resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string text = resolved;
    std::free(resolved);
    return text;
}

std::unique_ptr<image_source> open_pc_disk(unsigned number, std::string& path, std::string& error) {
    // A Linux system names its disks itself: an image of one goes into the devices folder.
    path.clear();
    error = "disk " + std::to_string(number) + " of the PC is read on Windows only";
    return nullptr;
}

}  // namespace dirtool
