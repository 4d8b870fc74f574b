// Folders, copies and the copy target on Windows.
#include "host/host_fs.h"

#include "base/bytes.h"
#include "host/win32_helpers.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace dirtool {

const host_kind this_host = host_kind::win32;

namespace {

using namespace win32;


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
