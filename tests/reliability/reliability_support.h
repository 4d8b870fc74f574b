// What the reliability suites share: a fresh work folder and temporary directory per test, kovox
// run the way its caller runs it, the broken tool's texts, and the checks of what a run leaves.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "program_runner.h"

namespace whole_program {

// `text` with the line ends the build under test writes (CR LF on Windows).
std::string with_platform_line_ends(const std::string& text);

// The names in `folder`, sorted.
std::vector<std::string> names_in(const std::string& folder);

// Empties `folder`, making it when it is missing.
void reset_folder(const std::string& folder);

// The longest device directory path ("/" ... "/") kovox lists: the path is the limit, never the
// listing command that holds it.
constexpr std::size_t longest_listed_path = 259;

// The length of the listing command kovox runs for the device directory path `path` (which ends in
// "/") at `depth`, for the device and the temporary directory (as kovox is given it) of a run.
std::size_t list_command_length(const std::string& device, const std::string& path,
                                const std::string& temp_dir, int depth);

// The width kovox once gave command texts and the tool's lines: the tests show longer ones run.
constexpr std::size_t old_command_width = 299;

// The longest path relative to the device root that kovox prints.
constexpr std::size_t longest_printed_path = 259;

// Lines as a directory tool writes them, and the lines kovox prints for them. Every entry has
// the same date.
std::string tool_line(const std::string& mode, const std::string& size, const std::string& name);
std::string tool_file(const std::string& name);  // -rw-r--r--, 7 bytes
std::string tool_folder(const std::string& name);  // drwxr-xr-x, 4096 bytes
extern const std::string tool_end_line;
std::string printed_line(const std::string& mode, const std::string& size, const std::string& path);
std::string printed_file(const std::string& path);
std::string printed_folder(const std::string& path);

// Each test gets a work folder of its own and a temporary directory in it, which TEMP names.
class ReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Runs kovox with the archive argument in `directory`; kovox must end with status 0.
    std::string list_in(const std::string& directory, const std::string& archive = "hda1.img");

    std::string work;
    std::string temp;  // as written in the test; TEMP holds its native form
};

// kovox over the broken tool: each directory's listing text is written into `texts` by the test.
class BrokenToolTest : public ReliabilityTest {
protected:
    void SetUp() override;

    // Lays out the texts by the tool's keys ("root", "a", "a+b", "any") and the exit status it ends
    // with, then lists through the broken tool.
    std::string list_with(const std::map<std::string, std::string>& texts_by_key, int status = 0);

    std::string texts;
};

}  // namespace whole_program
