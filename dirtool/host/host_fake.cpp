#include "host/host_fake.h"

#include "base/memory_disk.h"
#include "host/host_fs.h"

#include <map>

namespace dirtool {

const host_kind this_host = host_kind::win32;

namespace {

std::map<std::string, std::string> files;
std::map<std::string, bool> folders;  // by path; the value is unused
std::vector<std::string> asked;

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

namespace fake_host {

void clear() {
    files.clear();
    folders.clear();
    asked.clear();
}
void add_folder(const std::string& path) { folders[path] = true; }
void add_file(const std::string& path, const std::string& bytes) { files[path] = bytes; }
std::string file(const std::string& path) {
    const auto found = files.find(path);
    return found == files.end() ? std::string() : found->second;
}
const std::vector<std::string>& requests() { return asked; }

}  // namespace fake_host

bool executable_folder(std::string& folder) {
    folder = "/bin";
    return true;
}

bool stat_entry(const std::string& path, bool, entry_info& entry) {
    entry = entry_info{};
    if (folders.count(path) != 0) {
        entry.type = 'd';
        entry.permissions = 0755;
        return true;
    }
    const auto found = files.find(path);
    if (found == files.end()) return false;
    entry.permissions = 0644;
    entry.size = found->second.size();
    return true;
}

bool read_folder(const std::string& folder, std::vector<entry_info>& entries, std::string&) {
    for (const auto& item : folders) {
        if (parent_of(item.first) != folder) continue;
        stat_entry(item.first, false, entries.emplace_back());
        entries.back().name = item.first.substr(folder.size() + 1);
    }
    for (const auto& item : files) {
        if (parent_of(item.first) != folder) continue;
        stat_entry(item.first, false, entries.emplace_back());
        entries.back().name = item.first.substr(folder.size() + 1);
    }
    return true;
}

bool free_space(const std::string&, std::uint64_t& bytes) {
    bytes = 0;
    return true;
}

bool copy_regular_file(const std::string& source, const std::string& target, std::string&) {
    asked.push_back("copy " + target);
    files[target] = files[source];
    return true;
}

std::unique_ptr<image_source> open_image_file(const std::string& path, std::string& error) {
    asked.push_back("open " + path);
    const auto found = files.find(path);
    if (found == files.end()) {
        error = path + ": no such file";
        return nullptr;
    }
    return std::make_unique<memory_disk>(found->second);
}

std::string resolved_path(const std::string& path) {
    return path;
}

std::unique_ptr<image_source> open_pc_disk(unsigned number, std::string& path, std::string& error) {
    asked.push_back("disk " + std::to_string(number));
    path = "\\\\.\\PhysicalDrive" + std::to_string(number);
    error = path + ": no such disk in the fake host";
    return nullptr;
}

copy_target::~copy_target() = default;

bool copy_target::open(const std::string& path, const file_identity&, std::string&) {
    asked.push_back("copy " + path);
    path_ = path;
    files[path].clear();
    handle_ = 0;
    return true;
}

bool copy_target::write_at(std::uint64_t offset, const char* bytes, std::size_t count, std::string&) {
    std::string& contents = files[path_];
    if (contents.size() < offset + count) contents.resize(static_cast<std::size_t>(offset + count));
    contents.replace(static_cast<std::size_t>(offset), count, bytes, count);
    return true;
}

bool copy_target::finish(std::uint64_t size, std::string&) {
    files[path_].resize(static_cast<std::size_t>(size));
    handle_ = -1;
    return true;
}

}  // namespace dirtool
