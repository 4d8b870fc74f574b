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
        {"$HOME", false, true},
        {"`id`", false, true},
        {"a\\b", false, true},
        {"ends\\", false, false},
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
