#include "device_fs.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace dirtool {

const host_kind this_host = host_kind::posix;

namespace {

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

std::string describe_errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies from `in` to the start of `out`, which is already empty; holes for runs of zeros.
bool copy_contents(int in, int out, std::string& error) {
    std::vector<char> buffer(1 << 20);
    off_t total = 0;
    while (true) {
        // Holes are skipped without reading them, where the file system tells where they are.
        const off_t data = lseek(in, total, SEEK_DATA);
        if (data < 0 && errno == ENXIO) {  // only a hole is left
            total = lseek(in, 0, SEEK_END);
            break;
        }
        if (data > total) {
            if (lseek(out, data - total, SEEK_CUR) < 0) {
                error = describe_errno("seeking");
                return false;
            }
            total = data;
        } else if (data < 0 && lseek(in, total, SEEK_SET) < 0) {
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
        const auto count = static_cast<std::size_t>(got);
        if (all_zero(buffer.data(), count)) {
            if (lseek(out, got, SEEK_CUR) < 0) {
                error = describe_errno("seeking");
                return false;
            }
        } else if (!write_all(out, buffer.data(), count)) {
            error = describe_errno("writing");
            return false;
        }
        total += got;
    }
    // A file that ends in zeros ends in a hole, which only the size covers.
    if (total < 0 || ftruncate(out, total) != 0) {
        error = describe_errno("setting the size");
        return false;
    }
    return true;
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

    // Opened without truncating: an existing target that is the source itself must survive.
    const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (out < 0) {
        error = describe_errno(target);
        close(in);
        return false;
    }
    struct stat out_status {};
    if (fstat(out, &out_status) != 0 || !S_ISREG(out_status.st_mode)) {
        error = target + " is not a regular file";
        close(in);
        close(out);
        return false;
    }
    if (out_status.st_dev == in_status.st_dev && out_status.st_ino == in_status.st_ino) {
        error = target + " is the source file itself";
        close(in);
        close(out);
        return false;
    }

    bool ok = true;
    if (ftruncate(out, 0) != 0) {
        error = describe_errno(target);
        ok = false;
    }
    ok = ok && copy_contents(in, out, error);
    close(in);
    if (close(out) != 0 && ok) {
        error = describe_errno(target);
        ok = false;
    }
    if (!ok) unlink(target.c_str());
    return ok;
}

}  // namespace dirtool
