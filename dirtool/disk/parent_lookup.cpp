#include "disk/parent_lookup.h"

#include "disk/containers.h"
#include "host/host_fs.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace dirtool {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// "C:..." or "//server/...", "/...": a path that does not hang off a folder.
bool is_absolute(const std::string& path) {
    if (!path.empty() && is_separator(path[0])) return true;
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

std::string folder_of(const std::string& path) {
    const std::size_t last = path.find_last_of("/\\");
    if (last == std::string::npos) return "";
    return last == 0 ? "/" : path.substr(0, last);
}

void append_utf8(std::string& text, std::uint32_t code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xc0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xe0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        text += static_cast<char>(0xf0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (code & 0x3f));
    }
}

}  // namespace

std::string host_path_of(const std::string& recorded, const std::string& folder) {
    std::string path = recorded;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.compare(0, 4, "//?/") == 0 || path.compare(0, 4, "//./") == 0) path.erase(0, 4);
    while (path.compare(0, 2, "./") == 0) path.erase(0, 2);
    if (is_absolute(path) || folder.empty()) return path;
    return folder == "/" ? "/" + path : folder + "/" + path;
}

std::string last_component(const std::string& path) {
    const std::size_t last = path.find_last_of("/\\");
    return last == std::string::npos ? path : path.substr(last + 1);
}

std::string utf8_of_utf16(const char* bytes, std::size_t count, bool big_endian) {
    std::string text;
    const auto unit_at = [&](std::size_t i) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes + 2 * i);
        return static_cast<std::uint32_t>(big_endian ? (b[0] << 8) | b[1] : b[0] | (b[1] << 8));
    };
    const std::size_t units = count / 2;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t code = unit_at(i);
        if (code == 0) break;
        if (code >= 0xd800 && code < 0xdc00 && i + 1 < units && unit_at(i + 1) >= 0xdc00 && unit_at(i + 1) < 0xe000) {
            code = 0x10000 + ((code - 0xd800) << 10) + (unit_at(i + 1) - 0xdc00);
            ++i;
        } else if (code >= 0xd800 && code < 0xe000) {
            code = 0xfffd;
        }
        append_utf8(text, code);
    }
    return text;
}

bool read_exactly(image_reader& disk, std::uint64_t offset, char* data, std::size_t count, const std::string& what,
                  std::string& error) {
    std::string failure;
    // A long read goes into sector-aligned memory, which the reader fills straight from the disk
    // in one request instead of a window at a time.
    const std::size_t sector = std::max<std::size_t>(512, disk.source().sector_size());
    std::unique_ptr<char[]> aligned;  // left unset: the read fills what is copied out of it
    char* into = data;
    if (count >= 8192 && reinterpret_cast<std::uintptr_t>(data) % sector != 0) {
        aligned.reset(new char[count + sector]);
        into = aligned.get() + (sector - reinterpret_cast<std::uintptr_t>(aligned.get()) % sector) % sector;
    }
    const image_reader::result result = disk.read(offset, into, count, failure);
    if (into != data) std::memcpy(data, into, count);
    switch (result) {
        case image_reader::result::done:
            return true;
        case image_reader::result::past_the_end:
            error = what + " lies past the end of the file";
            return false;
        case image_reader::result::failed:
            break;
    }
    error = failure;
    return false;
}

bool ends_with_ignoring_case(const std::string& name, const char* suffix) {
    const std::size_t length = std::strlen(suffix);
    if (name.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        char c = name[name.size() - length + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

bool read_from_parent(image_reader* parent, std::uint64_t at, char* data, std::size_t count, std::string& why) {
    if (parent == nullptr) {
        std::memset(data, 0, count);
        return true;
    }
    return parent->read(at, data, count, why) != image_reader::result::failed;
}

std::unique_ptr<image_source> open_parent(const std::string& child_path, const parent_locations& where,
                                          unsigned depth, const parent_check& is_parent, std::string& error) {
    if (child_path.empty()) {
        error = "a differencing disk whose parent is not looked for here";
        return nullptr;
    }
    if (depth + 1 > deepest_disk_chain) {
        error = child_path + ": a chain of more than " + std::to_string(deepest_disk_chain) +
                " disks over their parents, or one that loops";
        return nullptr;
    }
    // A disk named through a link has its parent beside the file the link leads to.
    const std::string real_path = resolved_path(child_path);
    const std::vector<std::string> folders = {folder_of(real_path), folder_of(child_path)};
    const std::string& folder = folders[0];
    std::vector<std::string> candidates;
    const auto add = [&](const std::string& path) {
        if (!path.empty() && path != child_path && path != real_path && std::find(candidates.begin(), candidates.end(), path) == candidates.end()) {
            candidates.push_back(path);
        }
    };
    for (const std::string& path : where.relative_paths) {
        if (!path.empty() && !is_absolute(host_path_of(path, ""))) add(host_path_of(path, folder));
    }
    for (const std::string& path : where.absolute_paths) add(host_path_of(path, ""));
    std::vector<std::string> names = where.file_names;
    for (const auto* list : {&where.relative_paths, &where.absolute_paths}) {
        for (const std::string& path : *list) names.push_back(last_component(path));
    }
    for (const std::string& place : folders) {
        for (const std::string& name : names) {
            if (!name.empty() && name != "." && name != "..") add(host_path_of(name, place));
        }
    }
    if (candidates.empty()) {
        error = child_path + ": a differencing disk that does not say where its parent is";
        return nullptr;
    }
    std::string refusal;
    for (const std::string& candidate : candidates) {
        entry_info entry;
        if (!stat_entry(candidate, true, entry) || entry.type != '-') continue;
        // A parent that is there but cannot be opened (a running virtual machine holds it) says why.
        std::string failure;
        std::unique_ptr<image_source> file = open_image_file(candidate, failure);
        if (!file) {
            if (refusal.empty()) refusal = child_path + ": its parent: " + failure;
            continue;
        }
        const std::uint64_t size = file->size();
        auto reader = std::make_shared<image_reader>(std::move(file));
        std::string why;
        if (!is_parent(*reader, why)) {
            if (refusal.empty()) refusal = child_path + ": " + candidate + " is not its parent: " + why;
            continue;
        }
        std::unique_ptr<image_source> parent = open_disk(open_window(reader, 0, size), candidate, depth + 1, error);
        // The parent's own message names the file it is about; the disk the user named comes first.
        if (!parent && depth == 0) error = child_path + ": its parent: " + error;
        return parent;
    }
    if (!refusal.empty()) {
        error = refusal;
    } else {
        error = child_path + ": its parent disk is not found: looked for";
        for (std::size_t i = 0; i < candidates.size(); ++i) error += (i == 0 ? " " : ", ") + candidates[i];
    }
    return nullptr;
}

}  // namespace dirtool
