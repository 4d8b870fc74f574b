#include "frontend/tool_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frontend/bounded_format.h"
#include "frontend/test_settings.h"
#include "platform/platform_fake.h"

namespace kovox {
namespace {

TEST(FormatBounded, SaysWhenTheTextDoesNotFit) {
    char buffer[6];
    EXPECT_TRUE(format_bounded(buffer, sizeof buffer, "%s%c%03d", "a", '/', 7));
    EXPECT_STREQ(buffer, "a/007");
    EXPECT_FALSE(format_bounded(buffer, sizeof buffer, "%s%c%03d", "ab", '/', 7));
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(format_bounded(buffer, sizeof buffer, "%s", "12345"));
    EXPECT_FALSE(format_bounded(buffer, sizeof buffer, "%s", "123456"));
}

TEST(JoinBounded, JoinsPartsOrSaysTheyDoNotFit) {
    char buffer[6];
    EXPECT_EQ(join_bounded(buffer, sizeof buffer, {"ab", "", "c/", "d"}), 5u);
    EXPECT_STREQ(buffer, "abc/d");
    EXPECT_EQ(join_bounded(buffer, sizeof buffer, {"abc", "def"}), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(join_bounded(buffer, sizeof buffer, {"abcdef"}), 0u);
    EXPECT_EQ(join_bounded(buffer, sizeof buffer, {}), 0u);
    EXPECT_STREQ(buffer, "");
}

class ToolCommand : public ::testing::Test {
protected:
    void SetUp() override {
        use_test_settings();
    }
    platform::fake::state& fake = platform::fake::reset();
    command_text command{};
};

TEST_F(ToolCommand, ExactTexts) {
    ASSERT_TRUE(build_list_command(command, "/", "/tmp/kovoxtmp.000"));
    EXPECT_STREQ(command, "kovont.exe -s/dev/hda1 \"/\" > \"/tmp/kovoxtmp.000\"");
    ASSERT_TRUE(build_list_command(command, "/My Documents/", "/t e m p/kovoxtmp.001"));
    EXPECT_STREQ(command, "kovont.exe -s/dev/hda1 \"/My Documents/\" > \"/t e m p/kovoxtmp.001\"");

    settings.tool_exe = dos_tool_exe;
    ASSERT_TRUE(build_copy_command(command, "/etc/a b", "a b"));
    EXPECT_STREQ(command, "kovodos.exe -READ -s/dev/hda1 \"/etc/a b\" \"a b\"");
    ASSERT_TRUE(build_copy_command(command, "/etc/", ""));
    EXPECT_STREQ(command, "kovodos.exe -READ -s/dev/hda1 \"/etc/\" \"\"");
}

TEST_F(ToolCommand, LongestTextsFit) {
    // Every text at 259 characters, with the longer tool name: the longest command there is.
    settings.tool_exe = dos_tool_exe;
    const std::string longest(max_path_length, 'x');
    std::strcpy(settings.device, longest.c_str());
    ASSERT_TRUE(build_copy_command(command, longest.c_str(), longest.c_str()));
    EXPECT_EQ(std::strlen(command), max_command_length);
    ASSERT_TRUE(build_list_command(command, longest.c_str(), longest.c_str()));
    EXPECT_EQ(std::strlen(command), max_list_command_length);
}

TEST_F(ToolCommand, NothingToRunForTextsTheInterpreterWouldChange) {
    EXPECT_FALSE(build_list_command(command, "/a\"b/", "/tmp/kovoxtmp.000"));
    EXPECT_STREQ(command, "");
    EXPECT_FALSE(build_list_command(command, "/", "/tmp/\"/kovoxtmp.000"));
    EXPECT_FALSE(build_copy_command(command, "/etc/x", "x\ny"));
    // The POSIX layer hands every quoted text to sh unchanged: only a quote or a control character
    // stops it.
    EXPECT_TRUE(build_copy_command(command, "/etc/$HOME `id` a\\b it's", "it's"));
    EXPECT_TRUE(build_list_command(command, "/$(id)/", "/tmp/$HOME/kovoxtmp.000"));
    fake.rules = platform::interpreter::windows_cmd;
    fake.environment["Path"] = "C:\\windows";
    EXPECT_FALSE(build_copy_command(command, "/etc/%PATH%", "x"));
    EXPECT_STREQ(command, "");
    EXPECT_FALSE(build_copy_command(command, "/etc/%path:~0,3%", "x"));
    EXPECT_FALSE(build_list_command(command, "/%CD%/", "C:\\Temp\\kovoxtmp.001"));
    // Each text alone holds no pair; the command does.
    EXPECT_FALSE(build_copy_command(command, "/etc/%__a", "b%"));
    EXPECT_FALSE(build_copy_command(command, "/etc/x", "x\\"));
    EXPECT_TRUE(build_copy_command(command, "/etc/$x`y`", "$x`y`"));
    EXPECT_TRUE(build_copy_command(command, "/100%/50% off.txt", "50% off.txt"));
    EXPECT_TRUE(build_copy_command(command, "/a%20b%20c.pdf", "%PATHS%"));
    // Asked at the time: once unset, the variable no longer counts.
    fake.environment.clear();
    EXPECT_TRUE(build_copy_command(command, "/etc/%PATH%", "x"));
}

}  // namespace
}  // namespace kovox
