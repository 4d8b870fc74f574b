// The partition table reader over tables that sfdisk writes, checked against what sfdisk --json
// reports of the same images.
#include "volumes/volumes.h"
#include "sfdisk_report.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace dirtool {
namespace {

namespace fs = std::filesystem;

partition_table table_of_file(const std::string& image) {
    const int fd = open(image.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << image;
    const auto size = static_cast<std::uint64_t>(fs::file_size(image));
    const partition_table table = read_partition_table(
        [fd](std::uint64_t offset, std::size_t count, char* data) {
            return pread(fd, data, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
        },
        size);
    close(fd);
    return table;
}

TEST(PartitionTableOfSfdisk, ListsWhatSfdiskReports) {
    const struct {
        const char* name;
        const char* script;
        bool zero_primary_gpt;  // reads the backup instead
        std::size_t listed;     // sfdisk's partitions, the extended one left out
    } cases[] = {
        {"MBR: primaries and an extended partition in the middle",
         "label: dos\n"
         "start=2048, size=4MiB, type=83\n"
         "start=10240, size=40MiB, type=5\n"
         "start=12288, size=2MiB, type=83\n"
         "start=18432, size=3MiB, type=7\n"
         "start=26624, size=1MiB, type=82\n"
         "start=32768, size=5MiB, type=83\n"
         "start=100000, size=2MiB, type=c\n",
         false, 6},
        {"GPT with gaps in its numbering",
         "label: gpt\n"
         "IMAGE2 : start=2048, size=1MiB, type=L\n"
         "IMAGE3 : start=4096, size=3MiB, type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F\n"
         "IMAGE7 : start=20000, size=10MiB, type=L\n",
         false, 3},
        {"GPT whose primary header is gone",
         "label: gpt\n"
         "start=2048, size=5MiB, type=L\n"
         "size=5MiB, type=L\n",
         true, 2},
    };
    const std::string image = (fs::temp_directory_path() / ("kovox-sfdisk-" + std::to_string(getpid()) + ".img")).string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(image);
        std::ofstream(image).close();
        fs::resize_file(image, 64 * 1024 * 1024);
        std::string script = c.script;
        for (std::size_t at = script.find("IMAGE"); at != std::string::npos; at = script.find("IMAGE", at)) {
            script.replace(at, 5, image);
        }
        const std::string script_file = image + ".script";
        std::ofstream(script_file) << script;
        ASSERT_EQ(std::system((std::string(SFDISK_PROGRAM) + " -q '" + image + "' < '" + script_file + "' >/dev/null 2>&1").c_str()), 0);
        fs::remove(script_file);

        std::vector<sfdisk_report::reported_partition> reported = sfdisk_report::partitions_of(SFDISK_PROGRAM, image);
        reported.erase(std::remove_if(reported.begin(), reported.end(),
                                      [](const sfdisk_report::reported_partition& p) { return p.is_extended(); }),
                       reported.end());
        ASSERT_EQ(reported.size(), c.listed);
        if (c.zero_primary_gpt) {
            std::fstream disk(image, std::ios::in | std::ios::out | std::ios::binary);
            disk.seekp(512);
            disk.write(std::string(512, '\0').data(), 512);
        }
        const partition_table table = table_of_file(image);
        EXPECT_EQ(table.problems.size(), c.zero_primary_gpt ? 1u : 0u);
        ASSERT_EQ(table.partitions.size(), reported.size());
        for (std::size_t i = 0; i < reported.size(); ++i) {
            EXPECT_EQ(table.partitions[i].number, reported[i].number);
            EXPECT_EQ(table.partitions[i].start, reported[i].start_sector * 512);
            EXPECT_EQ(table.partitions[i].size, reported[i].sectors * 512);
        }
    }
    fs::remove(image);
}

}  // namespace
}  // namespace dirtool
