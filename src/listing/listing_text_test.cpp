#include "listing/listing_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform_fake.h"

namespace kovox {
namespace {

using platform::fake::tool_entry;
using platform::fake::tool_line;

// Every line that read_line yields for `text`, overlong ones as "<overlong>".
std::vector<std::string> lines_of(const std::string& text) {
    platform::fake::reset().files["listing"] = text;
    platform::file* file = platform::open_for_reading("listing");
    line_source source = open_line_source(file);
    listing_line line;
    std::vector<std::string> lines;
    while (read_line(source, line)) {
        EXPECT_EQ(line.text[line.length], '\0');
        lines.push_back(line.overlong ? "<overlong>" : std::string(line.text, line.length));
    }
    EXPECT_EQ(line.length, 0u);
    platform::close_file(file);
    return lines;
}

TEST(ReadLine, CutsTextIntoLines) {
    const std::string long_line(max_line_length, 'x');
    const std::string too_long(max_line_length + 1, 'y');
    const struct {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"a\r\nb\r", {"a", "b"}},
        {"\n\n", {"", ""}},
        {"\r", {""}},
        // A carriage return inside a line, or a second one before the line end, is part of a name.
        {"a\rb\r\r\n", {"a\rb\r"}},
        {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
        {long_line + "\r\n" + long_line, {long_line, long_line}},
        // An overlong line is consumed to its line feed; the next line starts after it.
        {too_long + "\nnext\n", {"<overlong>", "next"}},
        {too_long + "\r\n" + std::string(5000, 'z') + "\nlast", {"<overlong>", "<overlong>", "last"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lines_of(c.text), c.lines) << "text of " << c.text.size() << " bytes";
    }
}

TEST(ReadLine, LinesSpanningReadBuffers) {
    std::string text;
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
        expected.push_back(std::string(static_cast<std::size_t>(i) * 3 % max_line_length, static_cast<char>('a' + i % 26)));
        text += expected.back() + (i % 2 == 0 ? "\n" : "\r\n");
    }
    EXPECT_EQ(lines_of(text), expected);
}

struct converted {
    line_kind kind;
    std::string mode, size, date, name;
};

converted convert(const std::string& line) {
    list_entry entry{};
    const line_kind kind = convert_line(line, entry);
    if (kind != line_kind::entry) return {kind, "", "", "", ""};
    return {kind, entry.mode, entry.size, entry.date, entry.name};
}

TEST(ConvertLine, EntryLines) {
    const std::string date = "Jan 02 03:04:05 2026";
    const struct {
        tool_entry tool;
        converted expected;
    } cases[] = {
        {{"drwxr-xr-x", "4096", "etc"}, {line_kind::entry, "d---------", "         4096", date, "etc"}},
        {{"dr-xr-xr-x", "0", "proc"}, {line_kind::entry, "dr--------", "            0", date, "proc"}},
        {{"-rw-r--r--", "12", "a"}, {line_kind::entry, "----------", "           12", date, "a"}},
        {{"-r--r--r--", "12", "ro"}, {line_kind::entry, "-r--------", "           12", date, "ro"}},
        {{"lrwxrwxrwx", "3", "lib64"}, {line_kind::entry, "----------", "            3", date, "lib64"}},
        {{"crw-rw----", "0", "tty"}, {line_kind::entry, "----------", "            0", date, "tty"}},
        {{"-rw-r--r--", "1", "two  spaces  "},
         {line_kind::entry, "----------", "            1", date, "two  spaces  "}},
        // Sizes wider than their nine columns push the date and the name to the right.
        {{"-rw-r--r--", "1234567890", "big"}, {line_kind::entry, "----------", "   1234567890", date, "big"}},
        {{"-rw-r--r--", "1234567890123", "huge"}, {line_kind::entry, "----------", "1234567890123", date, "huge"}},
        {{"-rw-r--r--", "123456789012345678", "larger"},
         {line_kind::entry, "----------", "123456789012345678", date, "larger"}},
        // The widest line: the largest 64-bit size and a name of 259, 326 characters in all.
        {{"-rw-r--r--", "18446744073709551615", std::string(259, 'n')},
         {line_kind::entry, "----------", "18446744073709551615", date, std::string(259, 'n')}},
        {{"drwxr-xr-x", "4096", std::string(255, 'd')},
         {line_kind::entry, "d---------", "         4096", date, std::string(255, 'd')}},
    };
    for (const auto& c : cases) {
        std::string line = tool_line(c.tool);
        line.pop_back();
        const converted result = convert(line);
        EXPECT_EQ(result.kind, c.expected.kind) << line;
        EXPECT_EQ(result.mode, c.expected.mode) << line;
        EXPECT_EQ(result.size, c.expected.size) << line;
        EXPECT_EQ(result.date, c.expected.date) << line;
        EXPECT_EQ(result.name, c.expected.name) << line;
    }
}

TEST(ConvertLine, WorkedLineColumns) {
    const std::string line = "drwxr-xr-x   2 root       4096     Dec 08 14:04:13 2026 etc";
    ASSERT_EQ(line.find("4096"), 26u);
    ASSERT_EQ(line.find("Dec"), 35u);
    ASSERT_EQ(line.find("etc"), 56u);
    const converted result = convert(line);
    EXPECT_EQ(result.mode, "d---------");
    EXPECT_EQ(result.size, "         4096");
    EXPECT_EQ(result.date, "Dec 08 14:04:13 2026");
    EXPECT_EQ(result.name, "etc");
}

TEST(ConvertLine, EndAndLeftOutLines) {
    const struct {
        std::string line;
        line_kind kind;
    } cases[] = {
        {"Disk space: 100 KB free", line_kind::end},
        {"Disk space:", line_kind::end},
        {"Can't find /x/", line_kind::end},
        {"Can't find", line_kind::end},
        // Only the exact prefixes end a listing.
        {"Disk space 100 KB free" + std::string(20, ' ') + "x", line_kind::entry},
        {"disk space:" + std::string(30, ' ') + "x", line_kind::entry},
        {"Can't fin", line_kind::not_entry},
        {"", line_kind::not_entry},
        {"-rw-r--r--  short", line_kind::not_entry},
        // No space at or after column 30: there are no columns to take.
        {std::string(40, 'x'), line_kind::not_entry},
        {std::string(30, ' '), line_kind::not_entry},
        {std::string(31, ' '), line_kind::entry},
        {std::string("-rw-r--r--") + std::string(30, ' ') + std::string("a\0b", 3), line_kind::not_entry},
        {std::string(max_line_length + 1, ' '), line_kind::not_entry},
        // A name over 259 characters fits the line but never a display path.
        {tool_line({"-rw-r--r--", "7", std::string(259, 'n')}).substr(0, 56 + 259), line_kind::entry},
        {tool_line({"-rw-r--r--", "7", std::string(260, 'n')}).substr(0, 56 + 260), line_kind::not_entry},
    };
    for (const auto& c : cases) EXPECT_EQ(convert(c.line).kind, c.kind) << '"' << c.line << '"';
}

TEST(ConvertLine, LineEndingEarlyGivesShortFields) {
    const std::string line = std::string("-rw-r--r--") + std::string(19, ' ') + "7 gid Jan 02";
    const converted result = convert(line);
    ASSERT_EQ(result.kind, line_kind::entry);
    EXPECT_EQ(result.size, "            7");
    EXPECT_EQ(result.date, "Jan 02");
    EXPECT_EQ(result.name, "");
}

}  // namespace
}  // namespace kovox
