#include "device_fs.h"

#include <windows.h>

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
    entry.size = (static_cast<std::uint64_t>(size_high) << 32) | size_low;
    entry.mtime = unix_seconds(written);
    return entry;
}

std::string describe_error(const std::string& what) {
    return what + ": Windows error " + std::to_string(GetLastError());
}

bool move_to(HANDLE file, std::int64_t offset, DWORD method) {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return SetFilePointerEx(file, distance, nullptr, method) != 0;
}

bool write_all(HANDLE file, const char* bytes, DWORD count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(file, bytes, count, &written, nullptr) || written == 0) return false;
        bytes += written;
        count -= written;
    }
    return true;
}

// Copies from `in` to the start of `out`, which is already empty; runs of zeros are skipped
// over, and the file system fills them with zeros (or leaves holes).
bool copy_contents(HANDLE in, HANDLE out, std::string& error) {
    std::vector<char> buffer(1 << 20);
    std::int64_t total = 0;
    while (true) {
        DWORD got = 0;
        if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            error = describe_error("reading");
            return false;
        }
        if (got == 0) break;
        if (all_zero(buffer.data(), got)) {
            if (!move_to(out, got, FILE_CURRENT)) {
                error = describe_error("seeking");
                return false;
            }
        } else if (!write_all(out, buffer.data(), got)) {
            error = describe_error("writing");
            return false;
        }
        total += got;
    }
    // A file that ends in zeros ends past the last write: the size must be set explicitly.
    if (!move_to(out, total, FILE_BEGIN) || !SetEndOfFile(out)) {
        error = describe_error("setting the size");
        return false;
    }
    return true;
}

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION info_a;
    BY_HANDLE_FILE_INFORMATION info_b;
    if (!GetFileInformationByHandle(a, &info_a) || !GetFileInformationByHandle(b, &info_b)) return false;
    return info_a.dwVolumeSerialNumber == info_b.dwVolumeSerialNumber &&
           info_a.nFileIndexHigh == info_b.nFileIndexHigh && info_a.nFileIndexLow == info_b.nFileIndexLow;
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

    // Opened without truncating: an existing target that is the source itself must survive.
    const HANDLE out = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        error = describe_error(target);
        CloseHandle(in);
        return false;
    }
    if (GetFileType(out) != FILE_TYPE_DISK || same_file(in, out)) {
        error = target + " is not a regular file apart from the source";
        CloseHandle(in);
        CloseHandle(out);
        return false;
    }

    bool ok = true;
    if (!SetEndOfFile(out)) {  // the pointer is at 0: this empties an existing target
        error = describe_error(target);
        ok = false;
    }
    ok = ok && copy_contents(in, out, error);
    CloseHandle(in);
    if (!CloseHandle(out) && ok) {
        error = describe_error(target);
        ok = false;
    }
    if (!ok) DeleteFileA(target.c_str());
    return ok;
}

}  // namespace dirtool
