#include "extract/extract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frontend/test_settings.h"
#include "platform/platform_fake.h"

namespace kovox {
namespace {

class ExtractFile : public ::testing::Test {
protected:
    void SetUp() override {
        use_test_settings();
        settings.read_mode = true;
    }
    platform::fake::state& fake = platform::fake::reset();
};

TEST_F(ExtractFile, LocalNameIsTheLastComponent) {
    const struct {
        std::string device_path;
        std::string windows_name;
        std::string posix_name;
    } cases[] = {
        {"etc/passwd", "passwd", "passwd"},
        {"/boot/vmlinuz-2.4", "vmlinuz-2.4", "vmlinuz-2.4"},
        {"/a.b/c.tar.gz", "c.tar.gz", "c.tar.gz"},
        {"/etc/", "", ""},
        {"readme", "readme", "readme"},
        {"C:notes.txt", "notes.txt", "C:notes.txt"},
        {"/dir\\sub\\file.txt", "file.txt", "dir\\sub\\file.txt"},
        {"/My Documents/a file.txt", "a file.txt", "a file.txt"},
    };
    for (const auto& c : cases) {
        fake.rules = platform::interpreter::windows_cmd;
        fake.separator = '\\';
        fake.commands.clear();
        extract_file(c.device_path.c_str());
        EXPECT_EQ(fake.commands, std::vector<std::string>{"kovont.exe -READ -s/dev/hda1 \"" +
                                                          c.device_path + "\" \"" + c.windows_name + "\""});
        fake.rules = platform::interpreter::posix_shell;
        fake.separator = '/';
        fake.commands.clear();
        extract_file(c.device_path.c_str());
        EXPECT_EQ(fake.commands, std::vector<std::string>{"kovont.exe -READ -s/dev/hda1 \"" +
                                                          c.device_path + "\" \"" + c.posix_name + "\""});
    }
}

TEST_F(ExtractFile, NothingRunsForPathsThatCannotReachTheToolWhole) {
    const std::string too_long = "/" + std::string(259, 'x');
    const char* const hostile[] = {
        "/etc/passwd\" & touch canary & \"", "/etc/passwd\"; touch canary; \"", "/etc/a\nb",
        too_long.c_str(),
    };
    for (const char* path : hostile) extract_file(path);
    fake.rules = platform::interpreter::windows_cmd;
    fake.separator = '\\';
    fake.environment["ComSpec"] = "C:\\windows\\system32\\cmd.exe";
    extract_file("/etc/%COMSPEC%");
    extract_file("/etc/%comspec:~0,3%.txt");
    extract_file("/etc\\");
    EXPECT_TRUE(fake.commands.empty());
}

TEST_F(ExtractFile, EveryPathThatFitsIsRun) {
    // The longest path, its last component of 258 characters, and the longest device name.
    const std::string longest = "/" + std::string(258, 'x');
    const std::string device(max_path_length, 'v');
    std::strcpy(settings.device, device.c_str());
    extract_file(longest.c_str());
    EXPECT_EQ(fake.commands, std::vector<std::string>{"kovont.exe -READ -s/dev/" + device + " \"" + longest +
                                                      "\" \"" + longest.substr(1) + "\""});
    // On POSIX `$`, backquotes, backslashes and `'` reach the tool as they are.
    fake.commands.clear();
    extract_file("/Price $5/`x` it's back\\Foo$Bar.class");
    EXPECT_EQ(fake.commands, std::vector<std::string>{"kovont.exe -READ -s/dev/" + device +
                                                      " \"/Price $5/`x` it's back\\Foo$Bar.class\"" +
                                                      " \"`x` it's back\\Foo$Bar.class\""});
}

}  // namespace
}  // namespace kovox
