#include "device_fs.h"

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <cstdlib>

namespace dirtool {

const host_kind this_host = host_kind::win32;

namespace {

std::int64_t unix_seconds(const FILETIME& time) {
    const std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    const std::int64_t since_1970 = ticks - 116444736000000000;  // 100 ns ticks from 1601
    const std::int64_t seconds = since_1970 / 10000000;
    return (since_1970 % 10000000 < 0) ? seconds - 1 : seconds;
}

std::uint64_t size_of(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Windows has no permission bits: a directory gets rwxr-xr-x, a file rw-r--r--, and the
// read-only attribute takes every "w" away.
entry_info entry_from(DWORD attributes, DWORD size_high, DWORD size_low, const FILETIME& written) {
    entry_info entry;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        entry.type = 'l';
    } else if (directory) {
        entry.type = 'd';
    }
    entry.permissions = directory ? 0755u : 0644u;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) entry.permissions &= ~0222u;
    entry.size = size_of(size_high, size_low);
    entry.mtime = unix_seconds(written);
    return entry;
}

std::string describe_error(const std::string& what) {
    return what + ": Windows error " + std::to_string(GetLastError());
}

file_identity identity_of(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return {};
    return {info.dwVolumeSerialNumber, size_of(info.nFileIndexHigh, info.nFileIndexLow), true};
}

HANDLE handle_of(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// A positioned read or write: the offset goes in the OVERLAPPED record, 64 bits wide, and the
// handle's own file pointer is never used.
OVERLAPPED at_offset(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// One request at a time stays far below what a DWORD counts.
constexpr std::size_t largest_request = std::size_t{1} << 30;

// An image file or a raw disk, read alike. A raw disk takes only whole sectors into aligned memory,
// which the image reader above sees to; it tells its sector size and length only when asked by
// IOCTL, and a file answers neither, so it reads in 512-byte sectors up to its size.
class win32_image_file final : public image_source {
public:
    win32_image_file(HANDLE file, std::uint64_t size, std::size_t sector, std::int64_t modified, file_identity identity)
        : file_(file), size_(size), sector_(sector), modified_(modified), identity_(identity) {}
    win32_image_file(const win32_image_file&) = delete;
    win32_image_file& operator=(const win32_image_file&) = delete;
    ~win32_image_file() override { CloseHandle(file_); }

    std::uint64_t size() const override { return size_; }
    std::size_t sector_size() const override { return sector_; }
    std::int64_t modified() const override { return modified_; }
    file_identity identity() const override { return identity_; }

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
};

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
        // Windows opens a disk raw for administrators only.
        error = pc_disk && GetLastError() == ERROR_ACCESS_DENIED
                    ? path + ": access denied: the file manager is not running as administrator"
                    : describe_error(path);
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
    return std::make_unique<win32_image_file>(file, size, sector, unix_seconds(written), identity_of(file));
}

}  // namespace

bool executable_folder(std::string& folder) {
    char path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return false;
    const std::string text(path, length);
    const std::size_t separator = text.find_last_of("\\/");
    if (separator == std::string::npos) return false;
    folder = text.substr(0, separator);
    return true;
}

bool stat_entry(const std::string& path, bool follow_link, entry_info& entry) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    entry = entry_from(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime);
    // A followed link to a folder reads as the folder.
    if (follow_link && entry.type == 'l' && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        entry.type = 'd';
    }
    return true;
}

bool read_folder(const std::string& folder, std::vector<entry_info>& entries, std::string& error) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // not even "." and ".."
        error = describe_error(folder);
        return false;
    }
    bool ok = true;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        entries.push_back(entry_from(found.dwFileAttributes, found.nFileSizeHigh, found.nFileSizeLow,
                                     found.ftLastWriteTime));
        entries.back().name = name;
    } while (FindNextFileA(search, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        error = describe_error(folder);
        ok = false;
    }
    FindClose(search);
    return ok;
}

bool free_space(const std::string& folder, std::uint64_t& bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return false;
    bytes = available.QuadPart;
    return true;
}

bool copy_regular_file(const std::string& source, const std::string& target, std::string& error) {
    const DWORD attributes = GetFileAttributesA(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = describe_error(source);
        return false;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        error = source + " is not a regular file";
        return false;
    }
    const HANDLE in = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        error = describe_error(source);
        return false;
    }
    if (GetFileType(in) != FILE_TYPE_DISK) {
        error = source + " is not a regular file";
        CloseHandle(in);
        return false;
    }
    copy_target out;
    bool ok = out.open(target, identity_of(in), error);
    std::vector<char> buffer(ok ? 1 << 20 : 0);
    std::uint64_t total = 0;
    while (ok) {
        DWORD got = 0;
        if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            error = describe_error("reading " + source);
            ok = false;
        } else if (got == 0) {
            break;
        } else {
            ok = out.write_at(total, buffer.data(), got, error);
            total += got;
        }
    }
    CloseHandle(in);
    return ok && out.finish(total, error);
}

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

copy_target::~copy_target() {
    if (handle_ == -1) return;
    CloseHandle(handle_of(handle_));
    DeleteFileA(path_.c_str());
}

bool copy_target::open(const std::string& path, const file_identity& source, std::string& error) {
    // Opened without truncating: an existing target that is the source itself must survive. A
    // link is opened as itself, not followed, and refused below.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = describe_error(path);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    const file_identity target = identity_of(file);
    const bool is_source = source.known && target.known && target.volume == source.volume &&
                           target.index == source.index;
    if (!regular || is_source) {
        error = path + (regular ? " is the source file itself" : " is not a regular file");
        CloseHandle(file);
        return false;
    }
    if (!SetEndOfFile(file)) {  // the file pointer is at 0: this empties an existing target
        error = describe_error(path);
        CloseHandle(file);
        DeleteFileA(path.c_str());
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    path_ = path;
    return true;
}

bool copy_target::write_at(std::uint64_t offset, const char* bytes, std::size_t count, std::string& error) {
    if (all_zero(bytes, count)) return true;
    while (count > 0) {
        OVERLAPPED position = at_offset(offset);
        DWORD written = 0;
        const DWORD wanted = static_cast<DWORD>(std::min(count, largest_request));
        if (!WriteFile(handle_of(handle_), bytes, wanted, &written, &position) || written == 0) {
            error = describe_error(path_);
            return false;
        }
        bytes += written;
        offset += written;
        count -= written;
    }
    return true;
}

bool copy_target::finish(std::uint64_t size, std::string& error) {
    const HANDLE file = handle_of(handle_);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    // The size covers a run of zeros at the end, which was never written.
    if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        error = describe_error(path_);
        return false;
    }
    handle_ = -1;
    if (!CloseHandle(file)) {
        error = describe_error(path_);
        DeleteFileA(path_.c_str());
        return false;
    }
    return true;
}

}  // namespace dirtool
