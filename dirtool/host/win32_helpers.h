// What the Win32 host files share: times and sizes in Windows' form, errors, file identities and
// positioned reads and writes.
#pragma once

#include "base/image_source.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace dirtool {
namespace win32 {

inline std::int64_t unix_seconds(const FILETIME& time) {
    const std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    const std::int64_t since_1970 = ticks - 116444736000000000;  // 100 ns ticks from 1601
    const std::int64_t seconds = since_1970 / 10000000;
    return (since_1970 % 10000000 < 0) ? seconds - 1 : seconds;
}

inline std::uint64_t size_of(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}
inline std::string describe_error(const std::string& what) {
    return what + ": Windows error " + std::to_string(GetLastError());
}

inline file_identity identity_of(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return {};
    return {info.dwVolumeSerialNumber, size_of(info.nFileIndexHigh, info.nFileIndexLow), true};
}

inline HANDLE handle_of(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// A positioned read or write: the offset goes in the OVERLAPPED record, 64 bits wide, and the
// handle's own file pointer is never used.
inline OVERLAPPED at_offset(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// One request at a time stays far below what a DWORD counts.
constexpr std::size_t largest_request = std::size_t{1} << 30;

}  // namespace win32
}  // namespace dirtool
