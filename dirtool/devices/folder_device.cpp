// A folder of the host served as a device: its entries by name, links listed but never followed.
#include "devices/devices.h"

#include "host/host_fs.h"

#include <utility>

namespace dirtool {

namespace {

// Looks the components up one at a time below the device's folder. Every step but the last
// must be a real folder: a link is never followed. The device folder itself may be a link.
bool find_entry(const std::string& device_root, const std::vector<std::string>& components,
                std::string& host_path, entry_info& entry) {
    host_path = device_root;
    if (!stat_entry(host_path, true, entry)) return false;
    for (const std::string& name : components) {
        if (entry.type != 'd') return false;
        host_path += "/" + name;
        if (!stat_entry(host_path, false, entry)) return false;
    }
    return true;
}

class folder_device final : public device {
public:
    explicit folder_device(std::string root) : root_(std::move(root)) {}

    // The host's API would read a drive colon or a wildcard in a Win32 name as more than a name.
    bool accepts(const std::string& component) const override {
        return this_host != host_kind::win32 || !has_win32_reserved_char(component);
    }

    outcome list(const std::vector<std::string>& components, std::vector<entry_info>& entries,
                 std::string& error) override {
        std::string folder;
        entry_info self;
        if (!find_entry(root_, components, folder, self) || self.type != 'd') return outcome::not_found;
        // ".." of the device root is the root itself, as on a mounted file system.
        entry_info parent = self;
        if (!components.empty()) {
            std::string parent_folder;
            const std::vector<std::string> parent_components(components.begin(), components.end() - 1);
            find_entry(root_, parent_components, parent_folder, parent);
        }
        self.name = ".";
        parent.name = "..";
        entries = {self, parent};

        std::vector<entry_info> children;
        const bool complete = read_folder(folder, children, error);
        sort_by_name(children);
        entries.insert(entries.end(), children.begin(), children.end());
        return complete ? outcome::done : outcome::failed;
    }

    bool free_space(std::uint64_t& bytes) override { return dirtool::free_space(root_, bytes); }

    outcome copy_out(const std::vector<std::string>& components, const std::string& local_name,
                     std::string& error) override {
        std::string source;
        entry_info entry;
        if (!find_entry(root_, components, source, entry)) return outcome::not_found;
        if (entry.type != '-') return outcome::not_regular;
        return copy_regular_file(source, local_name, error) ? outcome::done : outcome::failed;
    }

private:
    std::string root_;
};

}  // namespace

std::unique_ptr<device> open_folder_device(const std::string& folder) {
    return std::make_unique<folder_device>(folder);
}

}  // namespace dirtool
