// Image files and the PC's raw disks on Windows, read alike through one positioned, aligned
// channel.
#include "host/host_fs.h"

#include "host/win32_helpers.h"

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <cstdlib>

namespace dirtool {

namespace {

using namespace win32;

// An image file or a raw disk, read alike. A raw disk takes only whole sectors into aligned memory,
// which the image reader above sees to; it tells its sector size and length only when asked by
// IOCTL, and a file answers neither, so it reads in 512-byte sectors up to its size.
class win32_image_file final : public image_source {
public:
    win32_image_file(HANDLE file, std::uint64_t size, std::size_t sector, std::int64_t modified, file_identity identity,
                     file_version version)
        : file_(file), size_(size), sector_(sector), modified_(modified), identity_(identity), version_(version) {}
    win32_image_file(const win32_image_file&) = delete;
    win32_image_file& operator=(const win32_image_file&) = delete;
    ~win32_image_file() override { CloseHandle(file_); }

    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return sector_; }
    std::int64_t modified() const override { return modified_; }
    file_identity identity() const override { return identity_; }
    file_version version() const override { return version_; }

    bool read_sectors(std::uint64_t offset, char* data, std::size_t count, std::size_t& got,
                      std::string& error) override {
        got = 0;
        const std::size_t largest = largest_request - largest_request % sector_;
        while (got < count) {
            OVERLAPPED position = at_offset(offset + got);
            DWORD part = 0;
            const DWORD wanted = static_cast<DWORD>(std::min(count - got, largest));
            if (!ReadFile(file_, data + got, wanted, &part, &position)) {
                if (GetLastError() == ERROR_HANDLE_EOF) break;
                error = describe_error("reading the image");
                return false;
            }
            if (part == 0) break;
            got += part;
        }
        return true;
    }

private:
    HANDLE file_;
    std::uint64_t size_;
    std::size_t sector_;
    std::int64_t modified_;
    file_identity identity_;
    file_version version_;
};

// 100 ns ticks since 1601 as nanoseconds since 1970.
std::int64_t unix_nanoseconds(const LARGE_INTEGER& ticks) {
    return (ticks.QuadPart - 116444736000000000) * 100;
}

// A file's version from its times; a raw disk of the PC has none that tells.
file_version version_of(HANDLE file, bool pc_disk, std::uint64_t size) {
    FILE_BASIC_INFO times{};
    if (pc_disk || !GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times)) return {};
    FILETIME now_time{};
    GetSystemTimeAsFileTime(&now_time);
    LARGE_INTEGER now{};
    now.QuadPart = static_cast<LONGLONG>(size_of(now_time.dwHighDateTime, now_time.dwLowDateTime));
    const std::int64_t modified = unix_nanoseconds(times.LastWriteTime);
    const std::int64_t changed = unix_nanoseconds(times.ChangeTime);
    if (unix_nanoseconds(now) - std::max(modified, changed) < settling_ns) return {};
    return {identity_of(file), size, modified, changed, 0, size, true};
}

// The disk's logical sector size, when the handle is a disk that tells it: a power of two that
// whole-sector reads can work with.
bool disk_sector_size(HANDLE file, std::size_t& sector) {
    DISK_GEOMETRY_EX geometry{};
    DWORD returned = 0;
    if (!DeviceIoControl(file, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry, &returned,
                         nullptr)) {
        return false;
    }
    const DWORD bytes = geometry.Geometry.BytesPerSector;
    if (bytes < 512 || bytes > 65536 || (bytes & (bytes - 1)) != 0) return false;
    sector = bytes;
    return true;
}

// Opens `path`, an image file or, when `pc_disk` is set, a raw disk of the PC, for reading only;
// others may go on reading and writing it. Nothing here writes, locks or dismounts.
std::unique_ptr<image_source> open_source(const std::string& path, bool pc_disk, std::string& error) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // Windows opens a disk raw for administrators only. While WSL2 or Hyper-V runs, the virtual
        // machine holds its disk file open and shares it with no one.
        const DWORD failure = GetLastError();
        if (pc_disk && failure == ERROR_ACCESS_DENIED) {
            error = path + ": access denied: the file manager is not running as administrator";
        } else if (!pc_disk && failure == ERROR_SHARING_VIOLATION) {
            error = path + ": the file is in use by a running virtual machine: stop it first (wsl --shutdown for "
                           "WSL2, or shut the Hyper-V virtual machine down)";
        } else {
            error = describe_error(path);
        }
        return nullptr;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        error = path + ": not a disk image: not a file";
        CloseHandle(file);
        return nullptr;
    }
    std::size_t sector = 512;
    disk_sector_size(file, sector);
    std::uint64_t size = 0;
    GET_LENGTH_INFORMATION length{};
    LARGE_INTEGER file_size{};
    DWORD returned = 0;
    if (DeviceIoControl(file, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr)) {
        size = static_cast<std::uint64_t>(length.Length.QuadPart);
    } else if (GetFileSizeEx(file, &file_size)) {
        size = static_cast<std::uint64_t>(file_size.QuadPart);
    } else {
        error = describe_error(path);
        CloseHandle(file);
        return nullptr;
    }
    // A raw disk has no time of its own (no time, or one of zero ticks: 1601): it is being written
    // now, as far as anyone can tell.
    FILETIME written{};
    if (!GetFileTime(file, nullptr, nullptr, &written) || (written.dwHighDateTime == 0 && written.dwLowDateTime == 0)) {
        GetSystemTimeAsFileTime(&written);
    }
    return std::make_unique<win32_image_file>(file, size, sector, unix_seconds(written), identity_of(file),
                                              version_of(file, pc_disk, size));
}

}  // namespace

std::unique_ptr<image_source> open_image_file(const std::string& path, std::string& error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = describe_error(path);
        return nullptr;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = path + ": not a disk image: a folder";
        return nullptr;
    }
    return open_source(path, false, error);
}

std::string resolved_path(const std::string& path) {
    // Windows file managers name the file itself; a full path is what the folder is taken from.
    // A path that names nothing stays as it is, as on POSIX.
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return path;
    char full[MAX_PATH * 4];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return path;
    return std::string(full, length);
}

std::unique_ptr<image_source> open_pc_disk(unsigned number, std::string& path, std::string& error) {
    const std::string setting = "KOVO_DISK" + std::to_string(number);
    const char* const configured = std::getenv(setting.c_str());
    path = configured != nullptr && *configured != '\0' ? configured : "\\\\.\\PhysicalDrive" + std::to_string(number);
    // A folder named by mistake would be refused as access denied, which means something else here.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = path + ": not a disk: a folder";
        return nullptr;
    }
    return open_source(path, true, error);
}

}  // namespace dirtool
