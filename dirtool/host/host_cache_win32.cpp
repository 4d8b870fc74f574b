// The files kept between runs, on Windows.
#include "host/host_fs.h"

#include "host/win32_helpers.h"

#include <cstdlib>

namespace dirtool {

std::string default_cache_folder() {
    const char* const local = std::getenv("LOCALAPPDATA");
    if (local == nullptr || *local == '\0') return {};
    return std::string(local) + "\\kovont";
}

bool prepare_private_folder(const std::string& folder) {
    if (folder.empty()) return false;
    // Each folder on the way, from the first after the drive or the server's share.
    for (std::size_t separator = folder.find_first_of("/\\", 1);; separator = folder.find_first_of("/\\", separator + 1)) {
        const std::string part = folder.substr(0, separator);
        if (!part.empty() && part.back() != ':' && !CreateDirectoryA(part.c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_ACCESS_DENIED) {
            return false;
        }
        if (separator == std::string::npos) break;
    }
    // The user's own profile folder keeps others out; a link could lead anywhere.
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool kept_file::open(const std::string& path) {
    close();
    // Shared for deleting too, so that a run replacing the file is not kept from it.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool kept_file::read_at(std::uint64_t offset, char* data, std::size_t count) {
    std::size_t got = 0;
    while (handle_ != -1 && got < count) {
        OVERLAPPED position = win32::at_offset(offset + got);
        const DWORD wanted = static_cast<DWORD>(count - got < win32::largest_request ? count - got : win32::largest_request);
        DWORD part = 0;
        if (!ReadFile(win32::handle_of(handle_), data + got, wanted, &part, &position) || part == 0) return false;
        got += part;
    }
    return got == count;
}

void kept_file::close() {
    if (handle_ != -1) CloseHandle(win32::handle_of(handle_));
    handle_ = -1;
}

bool replace_file(const std::string& path, const file_part* parts, std::size_t part_count) {
    const std::string fresh = path + ".new" + std::to_string(GetCurrentProcessId());
    const HANDLE file = CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool written = true;
    for (std::size_t i = 0; written && i < part_count; ++i) {
        std::size_t done = 0;
        while (written && done < parts[i].count) {
            const std::size_t left = parts[i].count - done;
            const DWORD wanted = static_cast<DWORD>(left < win32::largest_request ? left : win32::largest_request);
            DWORD part = 0;
            written = WriteFile(file, parts[i].bytes + done, wanted, &part, nullptr) != 0 && part > 0;
            done += part;
        }
    }
    written = CloseHandle(file) != 0 && written;
    // A run reading the old file at this moment keeps the rename from happening: the next run
    // writes it again.
    if (written && MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DeleteFileA(fresh.c_str());
    return false;
}

}  // namespace dirtool
