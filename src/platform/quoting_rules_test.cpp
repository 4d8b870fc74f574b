#include "platform/quoting_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

TEST(QuotingRules, QuotedTexts) {
    const struct {
        std::string text;
        bool posix;
        bool windows;
    } cases[] = {
        {"", true, true},
        {"/usr/share/My Documents/", true, true},
        {"& | < > ^ ; ( ) ! ' * ? ~ #", true, true},
        {"caf\xe9", true, true},
        {"a\"b", false, false},
        {"$HOME", true, true},
        {"`id`", true, true},
        {"$(id) ${x}", true, true},
        {"a\\b", true, true},
        {"ends\\", true, false},
        {"it's", true, true},
        {"%PATH%", true, false},
        {"a\tb", false, false},
        {"a\nb", false, false},
        {"a\rb", false, false},
        {"a\x7f", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(can_quote_for(interpreter::posix_shell, c.text), c.posix) << c.text;
        EXPECT_EQ(can_quote_for(interpreter::windows_cmd, c.text), c.windows) << c.text;
    }
}

TEST(QuotingRules, PosixScripts) {
    const struct {
        std::string command;
        std::string script;
    } cases[] = {
        {"", ""},
        {"kovont.exe -s/dev/hda1 \"/\" > \"/tmp/kovoxtmp.000\"",
         "kovont.exe -s/dev/hda1 '/' > '/tmp/kovoxtmp.000'"},
        {"t -READ -s/dev/d \"/a b/$5 `x` \\ %P%\" \"\"", "t -READ -s/dev/d '/a b/$5 `x` \\ %P%' ''"},
        {"t \"it's\" \"''\"", "t 'it'\\''s' ''\\'''\\'''"},
        {"t \"unclosed", "t 'unclosed'"},
        // Outside quotes only what both interpreters read alike.
        {"t 'not quoted'", ""},
        {"t $x", ""},
        {"t \"a\";b", ""},
        {"t \"a\" & b", ""},
        {"t \\", ""},
    };
    for (const auto& c : cases) {
        char script[64];
        EXPECT_EQ(posix_script_for(c.command, script, sizeof script), c.script.size()) << c.command;
        EXPECT_EQ(script, c.script) << c.command;
    }
    // Every character a quote: four times the length, and nothing when the buffer is one short.
    const std::string quotes = "\"" + std::string(14, '\'') + "\"";
    char script[longest_posix_script(16) + 1];
    EXPECT_EQ(posix_script_for(quotes, script, sizeof script), 2 + 4 * 14u);
    EXPECT_EQ(posix_script_for(quotes, script, 2 + 4 * 14), 0u);
    EXPECT_STREQ(script, "");
}

TEST(QuotingRules, UnquotedTexts) {
    const struct {
        std::string text;
        bool passes;
    } cases[] = {
        {"hda1", true},         {"Disk-1_2.x+y@z", true}, {"caf\xe9", true},
        {"", false},            {"a b", false},           {"a;b", false},
        {"a&b", false},         {"a|b", false},           {"a>b", false},
        {"a%b", false},         {"a$b", false},           {"a*b", false},
        {"a\"b", false},        {"a'b", false},           {"a=b", false},
        {"a,b", false},         {"a^b", false},           {"a/b", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(can_pass_unquoted_for(interpreter::posix_shell, c.text), c.passes) << c.text;
        EXPECT_EQ(can_pass_unquoted_for(interpreter::windows_cmd, c.text), c.passes) << c.text;
    }
}

}  // namespace
}  // namespace platform
