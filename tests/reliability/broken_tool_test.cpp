// kovox over directory tools that fail, stop half-way or write text no sound tool writes, and over
// temporary directories where the listings cannot be written. Whatever happens, kovox prints each
// entry line it could read and nothing else, ends with status 0, and deletes every temporary file it
// made.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "reliability_support.h"

namespace whole_program {
namespace {

namespace fs = std::filesystem;

std::string cr_only(std::string text) {
    for (char& c : text) {
        if (c == '\n') c = '\r';
    }
    return text;
}

TEST_F(BrokenToolTest, PrintsEveryLineItCouldReadAndNothingElse) {
    const std::string root_lines = tool_folder("a") + tool_file("b");
    const std::string root_printed = printed_folder("a") + printed_file("a/x") + printed_file("b");
    const std::string a_text = tool_file("x") + tool_end_line;
    const std::string with_nul = std::string("b\0c", 3);
    const std::string long_name(10000, 'n');
    const std::string thirty_digits(30, '9');
    const std::string twenty_digits = "18446744073709551615";  // the largest 64-bit size
    const std::string cr_only_text = cr_only(root_lines + tool_end_line);
    constexpr std::size_t name_column = 56;

    const struct {
        const char* what;
        std::map<std::string, std::string> texts;
        int status;
        std::string expected;
    } cases[] = {
        {"complete", {{"root", root_lines + tool_end_line}, {"a", a_text}}, 0, root_printed},
        {"stops in the middle of a line with an error status",
         {{"root", root_lines + tool_file("c").substr(0, 12)}, {"a", a_text}}, 1, root_printed},
        {"a subdirectory's run writes nothing", {{"root", root_lines + tool_end_line}}, 1,
         printed_folder("a") + printed_file("b")},
        {"no end line, last line without a line feed",
         {{"root", root_lines.substr(0, root_lines.size() - 1)}, {"a", a_text}}, 0, root_printed},
        {"only an end line", {{"root", tool_end_line}}, 0, ""},
        {"Can't find for the root", {{"root", "Can't find / on /dev/hda1\n" + root_lines}}, 0, ""},
        {"Can't find for a subdirectory",
         {{"root", root_lines + tool_end_line}, {"a", "Can't find /a/ on /dev/hda1\n" + tool_file("x")}},
         0, printed_folder("a") + printed_file("b")},
        // A carriage return ends no line: the text is one line, whose name runs to its end. The name
        // holds control characters, so the directory is not entered.
        {"carriage returns only", {{"root", cr_only_text}}, 0,
         printed_folder(cr_only_text.substr(name_column, cr_only_text.size() - name_column - 1))},
        {"carriage returns only, longer than a line",
         {{"root", cr_only_text + cr_only(root_lines + root_lines + root_lines)}}, 0, ""},
        // A line holding a NUL byte is left out, a broken end line included; the rest still count.
        {"NUL bytes",
         {{"root", tool_file(with_nul) + tool_line("-rw-r--r--", std::string("7\0", 2), "d") +
                       tool_folder("a") + std::string("Disk\0space:\n", 12) + tool_file("b") +
                       tool_end_line},
          {"a", std::string(1, '\0') + "\n" + a_text}},
         0, root_printed},
        {"lines of 10,000 characters",
         {{"root", tool_file(long_name) + tool_folder("a") + std::string(10000, 'x') + "\n" +
                       tool_file("b") + tool_folder(long_name).substr(0, 10000)},
          {"a", a_text}},
         0, root_printed},
        // The longest line kept holds 326 characters: the widest size the tool writes and a name
        // of 259. One more size digit makes it too long; a name of 260 is left out in any line.
        {"lines at the length limit",
         {{"root", tool_line("-rw-r--r--", twenty_digits, std::string(259, 'k')) +
                       tool_line("-rw-r--r--", twenty_digits + "0", std::string(259, 'l')) +
                       tool_file(std::string(260, 'm')) + root_lines},
          {"a", a_text}},
         0, printed_line("----------", twenty_digits, std::string(259, 'k')) + root_printed},
        {"sizes of 30 digits",
         {{"root", tool_line("drwxr-xr-x", thirty_digits, "a") + tool_line("-rw-r--r--", thirty_digits, "b")},
          {"a", a_text}},
         0,
         printed_line("d---------", thirty_digits, "a") + printed_file("a/x") +
             printed_line("----------", thirty_digits, "b")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(list_with(c.texts, c.status), with_platform_line_ends(c.expected)) << c.what;
        EXPECT_EQ(names_in(temp), std::vector<std::string>{}) << c.what;
    }
}

TEST_F(BrokenToolTest, MissingToolListsNothing) {
    const std::string empty_folder = work + "/no tool here";
    fs::create_directories(empty_folder);
    EXPECT_EQ(list_in(empty_folder), "");
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});
}

TEST_F(BrokenToolTest, DirectoryThatHoldsItselfEndsAtThePathLimit) {
    // Each directory lists one directory of the same name, as a device whose folder links to itself.
    // A one-letter name nests deepest, with one tool run per level; under Wine every run costs far
    // more, so there a longer name ends the walk sooner.
    const std::string name = on_windows() ? "a folder holding itself" : "a";
    std::string expected;
    std::string listed = "/";
    for (std::string shown = name; listed.size() <= longest_listed_path; shown += "/" + name) {
        if (shown.size() <= longest_printed_path) expected += printed_folder(shown);
        listed += name + "/";
    }
    ASSERT_GE(expected.size(), 5 * printed_folder(name).size());
    // The deepest listing command is longer than commands once were, and runs.
    const std::string deepest = listed.substr(0, listed.size() - name.size() - 1);
    const int depth = static_cast<int>(deepest.size() / (name.size() + 1));
    EXPECT_GT(list_command_length("hda1", deepest, native_path(temp), depth), old_command_width);
    EXPECT_EQ(list_with({{"any", tool_folder(name) + tool_end_line}}), with_platform_line_ends(expected));
    EXPECT_EQ(names_in(temp), std::vector<std::string>{});
}

TEST_F(BrokenToolTest, TemporaryFilesThatCannotBeMade) {
    const std::map<std::string, std::string> listing_texts = {
        {"root", tool_folder("a") + tool_file("b") + tool_end_line}, {"a", tool_file("x") + tool_end_line}};
    const std::string stale_text = tool_file("stale") + tool_end_line;
    const struct {
        const char* what;
        std::string temp_dir;
        std::string leftover;  // what the test puts in the temporary directory before the run
        bool leftover_is_folder;
        std::string expected;
    } cases[] = {
        {"TEMP names no folder", work + "/no such folder", "", false, ""},
        {"TEMP names a file", work + "/a file", "", false, ""},
        {"the file of depth 1 cannot be made", temp, "kovoxtmp.001", true, printed_folder("a") + printed_file("b")},
        {"a stale file of depth 1 is never read", temp, "kovoxtmp.001", false,
         printed_folder("a") + printed_file("a/x") + printed_file("b")},
    };
    std::ofstream(work + "/a file") << "not a folder";
    for (const auto& c : cases) {
        reset_folder(temp);
        if (c.leftover_is_folder) {
            fs::create_directories(temp + "/" + c.leftover);
        } else if (!c.leftover.empty()) {
            std::ofstream(temp + "/" + c.leftover, std::ios::binary) << stale_text;
        }
        set_environment("TEMP", native_path(c.temp_dir));
        EXPECT_EQ(list_with(listing_texts), with_platform_line_ends(c.expected)) << c.what;
        // Only what kovox cannot delete may stay.
        const std::vector<std::string> kept =
            c.leftover_is_folder ? std::vector<std::string>{c.leftover} : std::vector<std::string>{};
        EXPECT_EQ(names_in(temp), kept) << c.what;
    }
    EXPECT_EQ(names_in(work), (std::vector<std::string>{"a file", "temp", "texts"}));
    std::ifstream file(work + "/a file");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "not a folder");
}

}  // namespace
}  // namespace whole_program
