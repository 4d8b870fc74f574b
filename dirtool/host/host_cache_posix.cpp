// The files kept between runs, on POSIX hosts.
#include "host/host_fs.h"

#include "host/posix_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace dirtool {

std::string default_cache_folder() {
    // Only absolute places count: a relative one would name a different folder in each folder
    // the tool is started in.
    const char* const cache_home = std::getenv("XDG_CACHE_HOME");
    if (cache_home != nullptr && cache_home[0] == '/') return std::string(cache_home) + "/kovont";
    const char* const home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/kovont";
    return {};
}

bool prepare_private_folder(const std::string& folder) {
    if (folder.empty()) return false;
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        if (mkdir(folder.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat status {};
    return lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool kept_file::open(const std::string& path) {
    close();
    // Non-blocking, so that a FIFO put there answers at once instead of waiting for a writer.
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (file < 0) return false;
    struct stat status {};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(file);
        return false;
    }
    handle_ = file;
    return true;
}

bool kept_file::read_at(std::uint64_t offset, char* data, std::size_t count) {
    std::size_t got = 0;
    while (handle_ >= 0 && got < count && posix::fits_in_off_t(offset + got)) {
        const ssize_t part = pread(static_cast<int>(handle_), data + got, count - got, static_cast<off_t>(offset + got));
        if (part < 0 && errno == EINTR) continue;
        if (part <= 0) return false;
        got += static_cast<std::size_t>(part);
    }
    return got == count;
}

void kept_file::close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

bool replace_file(const std::string& path, const file_part* parts, std::size_t part_count) {
    const std::string fresh = path + ".new" + std::to_string(getpid());
    const int file = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) return false;
    bool written = true;
    for (std::size_t i = 0; written && i < part_count; ++i) {
        std::size_t done = 0;
        while (written && done < parts[i].count) {
            const ssize_t part = write(file, parts[i].bytes + done, parts[i].count - done);
            if (part < 0 && errno == EINTR) continue;
            written = part > 0;
            if (written) done += static_cast<std::size_t>(part);
        }
    }
    written = close(file) == 0 && written;
    if (written && rename(fresh.c_str(), path.c_str()) == 0) return true;
    unlink(fresh.c_str());
    return false;
}

}  // namespace dirtool
