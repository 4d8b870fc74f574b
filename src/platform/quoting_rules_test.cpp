#include "platform/quoting_rules.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <string_view>

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
        // A `%` counts only with the whole command in view (CmdVariables below).
        {"%PATH%", true, true},
        {"100%", true, true},
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

// The environment of the tests below: PATH and TEMP are set, Empty is set to an empty value.
bool test_variable_set(std::string_view name) {
    for (const std::string_view set : {"PATH", "TEMP", "Empty"}) {
        if (name.size() != set.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size(); ++i) {
            same = same && std::toupper(static_cast<unsigned char>(name[i])) ==
                               std::toupper(static_cast<unsigned char>(set[i]));
        }
        if (same) return true;
    }
    return false;
}

TEST(QuotingRules, CmdVariables) {
    const struct {
        std::string command;
        bool expands;
    } cases[] = {
        // What cmd.exe under Wine passed unchanged, and what it changed.
        {"t \"a%XYZ%b\"", false},
        {"t \"100% done\"", false},
        {"t \"x%20y%20z\"", false},
        {"t \"%%\"", false},
        {"t \"%XYZ%PATH%q\"", true},
        // No pair, or no variable between the two.
        {"", false},
        {"t \"100%/in.txt\"", false},
        {"t \"50% off.txt\"", false},
        {"t \"a%20b%20c.pdf\"", false},
        {"t \"%PATHS%\" \"%PAT%\"", false},
        {"t \"%:PATH%\"", false},
        {"t \"%_x%\"", false},
        // A variable that is set, in any case, with or without a substitution after a colon.
        {"t \"%PATH%\"", true},
        {"t \"%path%\"", true},
        {"t \"%Temp%\"", true},
        {"t \"%empty%\"", true},
        {"t \"%PATH:~0,3%\"", true},
        {"t \"%PATH:a=b%\"", true},
        {"t \"%%PATH%\"", true},
        // The variables cmd.exe makes itself.
        {"t \"%CD%\"", true},
        {"t \"%cd:~0,1%\"", true},
        {"t \"%Date%\" ", true},
        {"t \"%TIME%\"", true},
        {"t \"%RANDOM%\"", true},
        {"t \"%ERRORLEVEL%\"", true},
        {"t \"%CMDEXTVERSION%\"", true},
        {"t \"%CMDCMDLINE%\"", true},
        {"t \"%HIGHESTNUMANODENUMBER%\"", true},
        {"t \"%PROMPT%\"", true},
        {"t \"%__CD__%\"", true},
        {"t \"%__APPDIR__%\"", true},
        {"t \"%=C:%\"", true},
        {"t \"%=ExitCode%\"", true},
        // A pair may span two quoted texts.
        {"t \"/a%__\" \"%b\"", true},
        {"t \"/a%\" > \"C:\\100%\\kovoxtmp.000\"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cmd_would_expand(c.command, test_variable_set), c.expands) << c.command;
        EXPECT_EQ(can_run_unchanged_for(interpreter::windows_cmd, c.command, test_variable_set), !c.expands)
            << c.command;
        EXPECT_TRUE(can_run_unchanged_for(interpreter::posix_shell, c.command, test_variable_set)) << c.command;
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
