#include "device_model.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "program_runner.h"

namespace whole_program {
namespace fs = std::filesystem;

namespace {

std::string date_text(long long seconds) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t time = static_cast<std::time_t>(seconds);
    const std::tm* const utc = std::gmtime(&time);
    char text[32];
    std::snprintf(text, sizeof text, "%s %02d %02d:%02d:%02d %04d", months[utc->tm_mon], utc->tm_mday,
                  utc->tm_hour, utc->tm_min, utc->tm_sec, utc->tm_year + 1900);
    return text;
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

void list_folder(const std::string& root, const std::string& folder,
                 const std::map<std::string, std::vector<const device_entry*>>& children,
                 std::string& listing) {
    const auto found = children.find(folder);
    if (found == children.end()) return;
    std::vector<const device_entry*> entries = found->second;
    std::sort(entries.begin(), entries.end(), [](const device_entry* a, const device_entry* b) {
        return name_of(a->path) < name_of(b->path);  // std::string compares bytes as unsigned
    });
    for (const device_entry* entry : entries) {
        const entry_facts facts = facts_of(root + "/" + entry->path);
        char size[32];
        std::snprintf(size, sizeof size, "%13llu", facts.size);
        listing += std::string(entry->type == 'd' ? "d" : "-") + (entry->read_only ? "r" : "-") +
                   "--------" + " " + size + " " + date_text(facts.mtime) + " " + entry->path + "\n";
        if (entry->type == 'd' && entry->path != "dev") list_folder(root, entry->path, children, listing);
    }
}

}  // namespace

void make_device(const std::string& root, const std::vector<device_entry>& entries) {
    fs::create_directories(root);
    for (const device_entry& entry : entries) {
        const fs::path path = fs::u8path(root + "/" + entry.path);
        if (entry.type == 'd') {
            fs::create_directory(path);
        } else if (entry.type == 'l') {
            fs::create_directory_symlink(entry.link_target, path);
        } else {
            std::ofstream(path, std::ios::binary) << std::string(entry.size < 4096 ? static_cast<std::size_t>(entry.size) : 4096, 'k');
            if (entry.size > 4096) fs::resize_file(path, entry.size);
            if (entry.read_only) {
                fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                                fs::perm_options::remove);
            }
        }
    }
}

std::string expected_listing(const std::string& root, const std::vector<device_entry>& entries) {
    std::map<std::string, std::vector<const device_entry*>> children;
    for (const device_entry& entry : entries) children[parent_of(entry.path)].push_back(&entry);
    std::string listing;
    list_folder(root, "", children, listing);
    return listing;
}

std::vector<device_entry> generated_device(int folders) {
    std::vector<device_entry> entries = {
        folder("dev"), file("dev/null", 0), file("dev/hda1", 0), file("dev/tty1", 0),
        folder("etc"), file("etc/passwd", 120), file("etc/shadow", 80, true),
        folder("usr"), folder("usr/dev"), file("usr/dev/null", 0),
        folder("My Documents"), file("My Documents/a letter.txt", 1234),
        folder("empty"), file("big.img", 1234567890),
    };
    int made = 6;
    for (int top = 0; made < folders; ++top) {
        const std::string home = "home" + std::to_string(top);
        entries.push_back(folder(home));
        ++made;
        for (int user = 0; user < 4 && made < folders; ++user) {
            const std::string user_folder = home + "/user " + std::to_string(user);
            entries.push_back(folder(user_folder));
            entries.push_back(file(user_folder + "/notes.txt", static_cast<std::uint64_t>(top * 100 + user)));
            entries.push_back(folder(user_folder + "/deep"));
            entries.push_back(folder(user_folder + "/deep/er"));
            entries.push_back(file(user_folder + "/deep/er/file", 999999999));
            made += 3;
        }
    }
    return entries;
}

std::string fresh_folder(const std::string& name) {
    // Taken once, before any test points TEMP elsewhere; one folder per build, so that the suites
    // of two builds can run at the same time.
    static const fs::path base =
        fs::temp_directory_path() /
        ("kovox-test-" + std::to_string(std::hash<std::string>{}(binary_directory()) % 1000000));
    const fs::path folder = base / name;
    if (fs::exists(folder)) {
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (!entry.is_symlink()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
        }
        fs::remove_all(folder);
    }
    fs::create_directories(folder);
    return folder.generic_string();
}

}  // namespace whole_program
