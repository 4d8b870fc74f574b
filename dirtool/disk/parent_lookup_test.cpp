// How a parent's recorded path becomes a host path: Windows paths as Hyper-V and Virtual PC record
// them, on either host, and the UTF-16 text they are stored in.
#include "disk/parent_lookup.h"

#include "disk/containers.h"

#include <gtest/gtest.h>

namespace dirtool {
namespace {

TEST(ParentLookup, RecordedPathsBecomeHostPaths) {
    const struct {
        const char* recorded;
        const char* folder;
        const char* host;
    } cases[] = {
        {".\\base.vhdx", "/vms/child", "/vms/child/base.vhdx"},
        {"..\\y\\base.vhd", "/vms/child", "/vms/child/../y/base.vhd"},
        {"base.vhd", "", "base.vhd"},
        {"base.vhd", "/", "/base.vhd"},
        {"C:\\Users\\me\\VMs\\base.vhdx", "/vms", "C:/Users/me/VMs/base.vhdx"},
        {"\\\\?\\C:\\VMs\\base.vhdx", "/vms", "C:/VMs/base.vhdx"},
        {"/home/me/base.vhd", "/vms", "/home/me/base.vhd"},
    };
    for (const auto& c : cases) EXPECT_EQ(host_path_of(c.recorded, c.folder), c.host) << c.recorded;
    EXPECT_EQ(last_component("C:\\VMs\\base.vhdx"), "base.vhdx");
    EXPECT_EQ(last_component("../y/base.vhd"), "base.vhd");
    EXPECT_EQ(last_component("base.vhd"), "base.vhd");
}

TEST(ParentLookup, Utf16TextBecomesUtf8) {
    // "C:\é€𝄞" little-endian, then a NUL and what follows it; a lone surrogate; big-endian.
    const char little[] = "C\0:\0\\\0\xe9\0\xac\x20\x34\xd8\x1e\xdd\0\0x\0";
    EXPECT_EQ(utf8_of_utf16(little, sizeof little - 1, false), "C:\\\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e");
    const char lone[] = "\x00\xd8" "a\0";
    EXPECT_EQ(utf8_of_utf16(lone, 4, false), "\xef\xbf\xbd" "a");
    const char big[] = "\0a\0b";
    EXPECT_EQ(utf8_of_utf16(big, 4, true), "ab");
}

TEST(ParentLookup, AMemoryDiskLooksForNoParent) {
    std::string error;
    const parent_check never = [](image_reader&, std::string&) { return false; };
    EXPECT_EQ(open_parent("", parent_locations{{"x.vhd"}, {}, {}}, 0, never, error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(open_parent("/no/such/child.vhd", parent_locations{{"..\\base.vhd"}, {"C:\\base.vhd"}, {}}, 0, never, error),
              nullptr);
    EXPECT_EQ(error, "/no/such/child.vhd: its parent disk is not found: looked for /no/such/../base.vhd, C:/base.vhd, "
                     "/no/such/base.vhd");
    EXPECT_EQ(open_parent("/no/such/child.vhd", parent_locations{{"x.vhd"}, {}, {}}, deepest_disk_chain, never, error),
              nullptr);
    EXPECT_EQ(error, "/no/such/child.vhd: a chain of more than 64 disks over their parents, or one that loops");
}

}  // namespace
}  // namespace dirtool
