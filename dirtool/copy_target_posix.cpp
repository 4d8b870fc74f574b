#include "copy_target_posix.h"

#include "dirtool_core.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace dirtool {

namespace {

std::string describe_errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool fits_in_off_t(std::uint64_t value) {
    return value <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
}

}  // namespace

copy_target::~copy_target() {
    if (fd_ < 0) return;
    close(fd_);
    unlink(path_.c_str());
}

bool copy_target::open(const std::string& path, const struct stat& source, std::string& error) {
    // Opened without truncating: an existing target that is the source itself must survive.
    // O_NOFOLLOW refuses a link; O_NONBLOCK keeps a FIFO from blocking the open.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = describe_errno(path);
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = path + " is not a regular file";
        close(fd);
        return false;
    }
    if (status.st_dev == source.st_dev && status.st_ino == source.st_ino) {
        error = path + " is the source file itself";
        close(fd);
        return false;
    }
    if (ftruncate(fd, 0) != 0) {
        error = describe_errno(path);
        close(fd);
        unlink(path.c_str());
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

bool copy_target::write_at(std::uint64_t offset, const char* bytes, std::size_t count, std::string& error) {
    if (all_zero(bytes, count)) return true;
    while (count > 0) {
        if (!fits_in_off_t(offset)) {
            error = path_ + ": the file is too large for this host";
            return false;
        }
        const ssize_t written = pwrite(fd_, bytes, count, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            error = describe_errno(path_);
            return false;
        }
        bytes += written;
        offset += static_cast<std::uint64_t>(written);
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

bool copy_target::finish(std::uint64_t size, std::string& error) {
    if (!fits_in_off_t(size) || ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        error = fits_in_off_t(size) ? describe_errno(path_) : path_ + ": the file is too large for this host";
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        error = describe_errno(path_);
        unlink(path_.c_str());
        return false;
    }
    return true;
}

}  // namespace dirtool
