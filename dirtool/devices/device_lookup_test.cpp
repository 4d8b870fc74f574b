// The order in which a device name is looked up, over a host held in memory: an image before a
// folder, a folder before a partition of a whole-disk image, and only then one of the PC's disks.
#include "devices/devices.h"
#include "host/host_fake.h"

#include <gtest/gtest.h>

namespace dirtool {
namespace {

TEST(DeviceLookup, ImageThenFolderThenPartitionThenPcDisk) {
    const std::string devices = "/d";
    const struct {
        const char* name;
        std::vector<std::string> files;    // in the devices folder; a trailing "/" makes a folder
        std::vector<std::string> opened;   // what the host was asked to open, in order
        const char* listed;                // the one entry the root lists, or "" when it lists none
    } rows[] = {
        {"hda1", {"hda1.img", "hda1/"}, {"open /d/hda1.img"}, ""},
        {"hda1", {"hda1/", "hda1/etc/"}, {}, "etc"},
        {"sda2", {"sda.img"}, {"open /d/sda.img"}, ""},
        {"sda2", {"sda.img", "sda2/", "sda2/home/"}, {}, "home"},
        {"nvme0n1p2", {"nvme0n1.img"}, {"open /d/nvme0n1.img"}, ""},
        // Named as a PC disk, with nothing in the devices folder: the PC's disk, read raw.
        {"sdb", {}, {"disk 1"}, ""},
        {"hdc3", {}, {"disk 2"}, ""},
        {"sdb", {"sdb.img/"}, {"disk 1"}, ""},  // a folder named like an image is no image
        {"data", {}, {}, ""},
    };
    for (const auto& r : rows) {
        std::string files;
        for (const std::string& f : r.files) files += f + " ";
        SCOPED_TRACE(std::string(r.name) + " over " + files);
        fake_host::clear();
        fake_host::add_folder(devices);
        for (const std::string& f : r.files) {
            if (f.back() == '/') {
                fake_host::add_folder(devices + "/" + f.substr(0, f.size() - 1));
            } else {
                fake_host::add_file(devices + "/" + f, std::string(64 * 1024, '\0'));
            }
        }
        std::string error;
        const std::unique_ptr<device> found = open_device(devices, r.name, error);
        std::vector<entry_info> entries;
        if (found) found->list({}, entries, error);
        EXPECT_EQ(fake_host::requests(), r.opened);
        const bool lists = *r.listed != '\0';
        ASSERT_EQ(entries.size(), lists ? 3u : 0u);
        if (lists) {
            EXPECT_EQ(entries[2].name, r.listed);
        }
    }
}

}  // namespace
}  // namespace dirtool
