// Folders, copies and the copy target on POSIX hosts.
#include "host/host_fs.h"

#include "base/bytes.h"
#include "host/posix_helpers.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace dirtool {

const host_kind this_host = host_kind::posix;

namespace {

using namespace posix;

char type_of(mode_t mode) {
    if (S_ISDIR(mode)) return 'd';
    if (S_ISLNK(mode)) return 'l';
    if (S_ISCHR(mode)) return 'c';
    if (S_ISBLK(mode)) return 'b';
    if (S_ISFIFO(mode)) return 'p';
    if (S_ISSOCK(mode)) return 's';
    return '-';
}

entry_info entry_from(const struct stat& status) {
    entry_info entry;
    entry.type = type_of(status.st_mode);
    entry.permissions = static_cast<unsigned>(status.st_mode) & 0777u;
    entry.links = static_cast<std::uint64_t>(status.st_nlink);
    entry.size = status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    entry.mtime = static_cast<std::int64_t>(status.st_mtime);
    return entry;
}

// Copies `in` from its start into `out`. Holes are skipped without reading them, where the file
// system tells where they are; runs of zeros that were read become holes too.
bool copy_contents(int in, copy_target& out, std::string& error) {
    std::vector<char> buffer(1 << 20);
    off_t position = 0;
    while (true) {
        const off_t data = lseek(in, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO) {  // only a hole is left
            position = lseek(in, 0, SEEK_END);
            break;
        }
        if (data > position) {
            position = data;
        } else if (data < 0 && lseek(in, position, SEEK_SET) < 0) {
            error = describe_errno("seeking");
            return false;
        }
        const ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            error = describe_errno("reading");
            return false;
        }
        if (got == 0) break;
        if (!out.write_at(static_cast<std::uint64_t>(position), buffer.data(), static_cast<std::size_t>(got),
                          error)) {
            return false;
        }
        position += got;
    }
    if (position < 0) {
        error = describe_errno("seeking");
        return false;
    }
    return out.finish(static_cast<std::uint64_t>(position), error);
}

}  // namespace

bool executable_folder(std::string& folder) {
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return false;
    const std::string path(buffer.data(), static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    folder = path.substr(0, slash);
    return true;
}

bool stat_entry(const std::string& path, bool follow_link, entry_info& entry) {
    struct stat status {};
    const int result = follow_link ? stat(path.c_str(), &status) : lstat(path.c_str(), &status);
    if (result != 0) return false;
    entry = entry_from(status);
    return true;
}

bool read_folder(const std::string& folder, std::vector<entry_info>& entries, std::string& error) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        error = describe_errno(folder);
        return false;
    }
    const int dir_fd = dirfd(dir);
    bool ok = true;
    while (true) {
        errno = 0;
        const dirent* item = readdir(dir);
        if (item == nullptr) {
            if (errno != 0) {
                error = describe_errno(folder);
                ok = false;
            }
            break;
        }
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat status {};
        if (fstatat(dir_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // removed since readdir saw it
            error = describe_errno(folder + "/" + name);
            ok = false;
            break;
        }
        entries.push_back(entry_from(status));
        entries.back().name = name;
    }
    closedir(dir);
    return ok;
}

bool free_space(const std::string& folder, std::uint64_t& bytes) {
    struct statvfs status {};
    if (statvfs(folder.c_str(), &status) != 0) return false;
    bytes = static_cast<std::uint64_t>(status.f_bavail) * static_cast<std::uint64_t>(status.f_frsize);
    return true;
}

bool copy_regular_file(const std::string& source, const std::string& target, std::string& error) {
    // O_NOFOLLOW refuses a link; O_NONBLOCK keeps a FIFO from blocking the open.
    const int in = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        error = describe_errno(source);
        return false;
    }
    struct stat in_status {};
    if (fstat(in, &in_status) != 0 || !S_ISREG(in_status.st_mode)) {
        error = source + " is not a regular file";
        close(in);
        return false;
    }
    copy_target out;
    const bool ok = out.open(target, identity_of(in_status), error) && copy_contents(in, out, error);
    close(in);
    return ok;
}

copy_target::~copy_target() {
    if (handle_ < 0) return;
    close(static_cast<int>(handle_));
    unlink(path_.c_str());
}

bool copy_target::open(const std::string& path, const file_identity& source, std::string& error) {
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
    const file_identity target = identity_of(status);
    if (source.known && target.volume == source.volume && target.index == source.index) {
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
    handle_ = fd;
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
        const ssize_t written = pwrite(static_cast<int>(handle_), bytes, count, static_cast<off_t>(offset));
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
    if (!fits_in_off_t(size) || ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) != 0) {
        error = fits_in_off_t(size) ? describe_errno(path_) : path_ + ": the file is too large for this host";
        return false;
    }
    const int fd = static_cast<int>(handle_);
    handle_ = -1;
    if (close(fd) != 0) {
        error = describe_errno(path_);
        unlink(path_.c_str());
        return false;
    }
    return true;
}

}  // namespace dirtool
