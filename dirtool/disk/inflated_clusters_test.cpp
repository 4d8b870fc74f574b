// The clusters one run inflates and the next finds in the store: found only for the same version
// of the same file, never from an entry that is cut short, damaged or another cluster's, and never
// kept where the store is missing, shared or the file's version is unknown.
#include "disk/inflated_clusters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace dirtool {
namespace {

constexpr std::size_t cluster_size = 4096;

file_version sound_version() {
    file_version version;
    version.file = {7, 1234, true};
    version.file_size = 1 << 20;
    version.modified_ns = 1700000000000000000;
    version.changed_ns = 1700000000000000001;
    version.length = 1 << 20;
    version.known = true;
    return version;
}

// The cluster `key` inflates to: every byte tells the cluster and its place in it.
char byte_of(std::uint64_t key, std::size_t at) {
    return static_cast<char>((key * 31 + at * 7) & 0xff);
}

struct run_result {
    unsigned inflated = 0;
    bool bytes_right = true;
};

// One run: reads pieces of clusters 1 to 3 of `version`, counting the clusters inflated.
run_result one_run(const file_version& version, const char* method = "test-zlib") {
    run_result result;
    inflated_clusters clusters(method, cluster_size, 2, version);
    for (std::uint64_t key = 1; key <= 3; ++key) {
        for (const std::size_t within : {std::size_t{0}, std::size_t{1000}, cluster_size - 16}) {
            char piece[16];
            std::string problem;
            const auto inflate = [&](char* out, std::string&) {
                ++result.inflated;
                for (std::size_t i = 0; i < cluster_size; ++i) out[i] = byte_of(key, i);
                return true;
            };
            EXPECT_TRUE(clusters.read(key, 99, within, piece, sizeof piece, inflate, problem)) << problem;
            for (std::size_t i = 0; i < sizeof piece; ++i) result.bytes_right &= piece[i] == byte_of(key, within + i);
        }
    }
    return result;
}

std::vector<std::string> entries_in(const std::string& folder) {
    std::vector<entry_info> entries;
    std::vector<std::string> paths;
    std::string error;
    if (!read_folder(folder, entries, error)) return paths;
    for (const entry_info& entry : entries) {
        if (entry.name.rfind("test-zlib-4096-", 0) == 0) paths.push_back(folder + "/" + entry.name);
    }
    return paths;
}

class InflatedClusters : public ::testing::Test {
protected:
    void SetUp() override {
        const char* temp = std::getenv("TMPDIR");
        const std::string base = temp != nullptr && *temp != '\0' ? temp : "/tmp";
        folder_ = base + "/inflated-clusters-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                  "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/store";
        keep_inflated_in(folder_);
    }
    void TearDown() override {
        for (const std::string& entry : entries_in(folder_)) std::remove(entry.c_str());
        keep_inflated_in("");
    }
    std::string folder_;
};

TEST_F(InflatedClusters, AreInflatedOnceForTheSameVersionOfTheFile) {
    const struct {
        const char* name;
        std::function<void(file_version&)> second_run;  // changes the version the second run reads
        std::function<void(const std::string& folder)> between;  // what happens to the store meanwhile
        unsigned inflated_second;
        const char* second_method = "test-zlib";
    } cases[] = {
        {"the same version", nullptr, nullptr, 0},
        {"another method", nullptr, nullptr, 3, "test-zstd"},
        {"the file written since", [](file_version& v) { v.modified_ns += 1; v.changed_ns += 1; }, nullptr, 3},
        {"the file's attributes changed", [](file_version& v) { v.changed_ns += 1; }, nullptr, 3},
        {"another file", [](file_version& v) { v.file.index += 1; }, nullptr, 3},
        {"another window of the file", [](file_version& v) { v.start += 512; }, nullptr, 3},
        {"the file grown", [](file_version& v) { v.file_size += 512; }, nullptr, 3},
        {"entries cut short",
         nullptr,
         [](const std::string& folder) {
             for (const std::string& entry : entries_in(folder)) std::ofstream(entry, std::ios::binary) << std::string(200, 'k');
         },
         3},
        {"entries of another cluster",
         nullptr,
         [](const std::string& folder) {
             for (const std::string& entry : entries_in(folder)) {
                 std::fstream file(entry, std::ios::binary | std::ios::in | std::ios::out);
                 file.seekp(16);
                 file.put('\x55');
             }
         },
         3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& entry : entries_in(folder_)) std::remove(entry.c_str());
        keep_inflated_in(folder_);
        const run_result first = one_run(sound_version());
        EXPECT_EQ(first.inflated, 3u);
        EXPECT_TRUE(first.bytes_right);
        EXPECT_EQ(entries_in(folder_).size(), 3u);
        if (c.between) c.between(folder_);
        file_version version = sound_version();
        if (c.second_run) c.second_run(version);
        keep_inflated_in(folder_);
        const run_result second = one_run(version, c.second_method);
        EXPECT_EQ(second.inflated, c.inflated_second);
        EXPECT_TRUE(second.bytes_right);
        // The entries read back are the first run's, the ones inflated again are kept anew.
        EXPECT_EQ(one_run(version, c.second_method).inflated, 0u);
    }
}

TEST_F(InflatedClusters, AreNotKeptWhereTheyCouldNotBeTrusted) {
    const struct {
        const char* name;
        std::function<void(file_version&)> change;
        std::function<void(const std::string& folder)> store;
    } cases[] = {
        {"no store", nullptr, [](const std::string&) { keep_inflated_in(""); }},
        {"a file whose version is unknown", [](file_version& v) { v.known = false; }, nullptr},
#ifndef _WIN32
        {"a store that others can write into", nullptr,
         [](const std::string& folder) {
             keep_inflated_in(folder);
             one_run(sound_version(), "other");  // makes the folder
             chmod(folder.c_str(), 0777);
             keep_inflated_in(folder);
         }},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        keep_inflated_in(folder_);
        if (c.store) c.store(folder_);
        file_version version = sound_version();
        if (c.change) c.change(version);
        const run_result first = one_run(version);
        EXPECT_EQ(first.inflated, 3u);
        EXPECT_TRUE(first.bytes_right);
        EXPECT_TRUE(entries_in(folder_).empty());
        EXPECT_EQ(one_run(version).inflated, 3u);
        for (const std::string& entry : entries_in(folder_)) std::remove(entry.c_str());
    }
}

TEST_F(InflatedClusters, AClusterThatCannotBeInflatedIsNotKept) {
    inflated_clusters clusters("test-zlib", cluster_size, 2, sound_version());
    char piece[16];
    std::string problem;
    const auto fail = [](char*, std::string& why) {
        why = "a compressed cluster does not inflate to a whole cluster";
        return false;
    };
    EXPECT_FALSE(clusters.read(1, 99, 0, piece, sizeof piece, fail, problem));
    EXPECT_EQ(problem, "a compressed cluster does not inflate to a whole cluster");
    EXPECT_TRUE(entries_in(folder_).empty());
}

}  // namespace
}  // namespace dirtool
