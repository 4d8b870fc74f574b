// Where a differencing VDI's parent is. The image records nothing of its parent but the parent's
// UUID. VirtualBox keeps a machine's base disk in the machine's folder, its snapshots' images in
// Snapshots/ below it, and names every disk with its UUID and path in the machine's settings file
// (name.vbox, XML). So the parent is looked up in the settings files of the child's folder and the
// one above it, and failing that among the .vdi files of those folders, by the UUID in their
// headers: either way, the image found must carry the UUID the child names.
#include "disk/vdi.h"

#include "base/bytes.h"
#include "base/entry.h"
#include "disk/disk.h"
#include "disk/parent_lookup.h"
#include "host/host_fs.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace dirtool {
namespace vdi {

namespace {

// A machine's settings file is a few KiB; a larger one is no settings file worth reading.
constexpr std::uint64_t largest_settings_file = 4 * 1024 * 1024;

bool is_separator(char c) { return c == '/' || (this_host == host_kind::win32 && c == '\\'); }

std::string joined(const std::string& folder, const std::string& name) {
    return !folder.empty() && is_separator(folder.back()) ? folder + name : folder + "/" + name;
}

std::string folder_of(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (is_separator(path[i - 1])) return i == 1 ? path.substr(0, 1) : path.substr(0, i - 1);
    }
    return ".";
}

// The file's first `limit` bytes at most; false when it cannot be read or is larger.
bool read_start(const std::string& path, std::uint64_t limit, bool whole, std::string& bytes) {
    std::string ignored;
    std::unique_ptr<image_source> file = open_image_file(path, ignored);
    if (!file || (whole && file->size() > limit)) return false;
    const std::uint64_t length = std::min(file->size(), limit);
    bytes.assign(static_cast<std::size_t>(length), '\0');
    image_reader reader(std::move(file));
    return reader.read(0, &bytes[0], bytes.size(), ignored) == image_reader::result::done;
}

// The image UUID in the header of the VDI at `path`; false for a file that is no VDI.
bool image_uuid_of(const std::string& path, uuid& id) {
    std::string bytes;
    if (!read_start(path, header_length, false, bytes) || bytes.size() < header_length ||
        load_le32(bytes.data() + signature_offset) != signature) {
        return false;
    }
    std::memcpy(id.data(), bytes.data() + 0x188, id.size());
    return true;
}

// A settings file's location: relative to the settings file's folder, or absolute. VirtualBox on
// Windows writes "\" between the components, which every host reads here as "/".
std::string location_path(const std::string& folder, std::string location) {
    std::replace(location.begin(), location.end(), '\\', '/');
    const bool drive = location.size() >= 2 && location[1] == ':' &&
                       ((location[0] >= 'A' && location[0] <= 'Z') || (location[0] >= 'a' && location[0] <= 'z'));
    return (!location.empty() && location[0] == '/') || drive ? location : joined(folder, location);
}

// The five entities XML writes into an attribute's value; anything else stays as written.
std::string decoded(const std::string& value) {
    static const struct {
        const char* entity;
        char character;
    } entities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        bool replaced = false;
        for (const auto& e : entities) {
            const std::size_t length = std::strlen(e.entity);
            if (value.compare(i, length, e.entity) == 0) {
                text += e.character;
                i += length - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced) text += value[i];
    }
    return text;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::vector<listed_disk> hard_disks_in(const std::string& settings) {
    static const std::string element = "<HardDisk";
    std::vector<listed_disk> disks;
    for (std::size_t at = settings.find(element); at != std::string::npos; at = settings.find(element, at)) {
        at += element.size();
        // "<HardDisks>", the list that holds them, is another element.
        if (at >= settings.size() || !is_space(settings[at])) continue;
        listed_disk disk;
        // Attributes up to the element's end: name="value" or name='value'.
        while (at < settings.size()) {
            while (at < settings.size() && is_space(settings[at])) ++at;
            if (at >= settings.size() || settings[at] == '>' || settings[at] == '/') break;
            const std::size_t name_start = at;
            while (at < settings.size() && settings[at] != '=' && !is_space(settings[at]) && settings[at] != '>') ++at;
            const std::string name = settings.substr(name_start, at - name_start);
            while (at < settings.size() && is_space(settings[at])) ++at;
            if (at + 1 >= settings.size() || settings[at] != '=') break;
            ++at;
            while (at < settings.size() && is_space(settings[at])) ++at;
            if (at >= settings.size() || (settings[at] != '"' && settings[at] != '\'')) break;
            const std::size_t value_end = settings.find(settings[at], at + 1);
            if (value_end == std::string::npos) break;
            const std::string value = decoded(settings.substr(at + 1, value_end - at - 1));
            at = value_end + 1;
            if (name == "uuid") disk.uuid = value;
            if (name == "location") disk.location = value;
        }
        if (!disk.uuid.empty() && !disk.location.empty()) disks.push_back(disk);
    }
    return disks;
}

std::string uuid_text(const uuid& id) {
    // The first three fields are numbers stored little-endian; the text writes them as numbers.
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    static const char digits[] = "0123456789abcdef";
    std::string text = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        const unsigned char byte = id[static_cast<std::size_t>(order[i])];
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text + "}";
}

bool parse_uuid(const std::string& text, uuid& id) {
    std::string bare = text;
    if (bare.size() == 38 && bare.front() == '{' && bare.back() == '}') bare = bare.substr(1, 36);
    if (bare.size() != 36) return false;
    uuid read{};
    std::size_t digit = 0;
    for (std::size_t i = 0; i < bare.size(); ++i) {
        const char c = bare[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
            continue;
        }
        const char* found = std::strchr("0123456789abcdef", c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        if (c == '\0' || found == nullptr) return false;
        read[digit / 2] = static_cast<unsigned char>((read[digit / 2] << 4) | (found - "0123456789abcdef"));
        ++digit;
    }
    // Back from the text's order to the file's.
    std::swap(read[0], read[3]);
    std::swap(read[1], read[2]);
    std::swap(read[4], read[5]);
    std::swap(read[6], read[7]);
    id = read;
    return true;
}

std::string find_parent(const std::string& child_path, const uuid& parent, std::string& error) {
    // An image that is no file of the host (one held in memory) has no folder to look in.
    if (child_path.empty()) {
        error = "a differencing VDI image outside any folder, so its parent " + uuid_text(parent) + " cannot be found";
        return std::string();
    }
    const std::string child_folder = folder_of(child_path);
    const std::string folders[] = {child_folder, joined(child_folder, "..")};
    std::vector<entry_info> entries[2];
    for (int i = 0; i < 2; ++i) {
        std::string ignored;
        if (read_folder(folders[i], entries[i], ignored)) sort_by_name(entries[i]);
    }
    // A settings file may name a file that holds another image by now; said when nothing better is found.
    std::string mismatch;
    for (int i = 0; i < 2; ++i) {
        for (const entry_info& entry : entries[i]) {
            std::string settings;
            if (entry.type == 'd' || !ends_with_ignoring_case(entry.name, ".vbox") ||
                !read_start(joined(folders[i], entry.name), largest_settings_file, true, settings)) {
                continue;
            }
            for (const listed_disk& disk : hard_disks_in(settings)) {
                uuid listed{};
                if (!parse_uuid(disk.uuid, listed) || listed != parent) continue;
                const std::string path = location_path(folders[i], disk.location);
                uuid found{};
                if (!image_uuid_of(path, found)) continue;
                if (found == parent) return path;
                mismatch = ": " + entry.name + " names " + path + " for it, which is image " + uuid_text(found);
            }
        }
    }
    for (int i = 0; i < 2; ++i) {
        for (const entry_info& entry : entries[i]) {
            if (entry.type == 'd' || !ends_with_ignoring_case(entry.name, ".vdi")) continue;
            const std::string path = joined(folders[i], entry.name);
            uuid found{};
            if (image_uuid_of(path, found) && found == parent) return path;
        }
    }
    error = child_path + ": its parent image " + uuid_text(parent) +
            " is not found in the .vbox files nor among the .vdi files of its folder and the one above" + mismatch;
    return std::string();
}

}  // namespace vdi
}  // namespace dirtool
