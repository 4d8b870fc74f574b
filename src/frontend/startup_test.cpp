#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "frontend/kovox.h"
#include "platform/platform_fake.h"

namespace kovox {
namespace {

// Runs the program with `arguments` after the program name and returns the commands it ran.
std::vector<std::string> run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kovox.exe");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    EXPECT_EQ(run_program(static_cast<int>(arguments.size()), argv.data()), 0);
    return platform::fake::current().commands;
}

std::string list_root(const std::string& device) {
    return "kovont.exe -s/dev/" + device + " \"/\" > \"/tmp/kovoxtmp.000\"";
}

TEST(Startup, DeviceNameFromTheArchiveArgument) {
    const std::string longest(259, 'n');
    const struct {
        std::string archive;
        std::string device;  // empty: nothing runs
    } cases[] = {
        {"D:\\images\\HDA1.IMG", "hda1"},
        {"sda2", "sda2"},
        {"a.b.c", "a.b"},
        {"/x/y/hdb3.lnx", "hdb3"},
        {"C:hda1.img", "hda1"},
        {"dir\\sub/Disk-1_2+x@y.img", "disk-1_2+x@y"},
        {"\xc9T\xc9.img", "\xc9t\xc9"},
        {".img", ""},
        {"images/", ""},
        {"D:\\images\\", ""},
        {"C:", ""},
        // Longer than a name may be, or not safe to stand unquoted in a command: nothing runs.
        {longest + "n.img", ""},
        {"my disk.img", ""},
        {"a&calc.img", ""},
        {"$(reboot).img", ""},
        {"x%PATH%.img", ""},
        {longest + ".img", longest},
    };
    for (const auto& c : cases) {
        platform::fake::reset();
        const std::vector<std::string> commands = run({c.archive});
        EXPECT_EQ(settings.device, c.device) << c.archive;
        if (c.device.empty()) {
            EXPECT_TRUE(commands.empty()) << c.archive;
        }
    }
    // The longest name is accepted, and its listing command runs.
    EXPECT_EQ(platform::fake::current().commands, std::vector<std::string>{list_root(longest)});
}

TEST(Startup, CommandLineForms) {
    const std::string copy = "kovont.exe -READ -s/dev/hda1 \"/etc/passwd\" \"passwd\"";
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::string> commands;
        bool read_mode;
    } cases[] = {
        {{}, {}, false},
        {{"hda1.img"}, {list_root("hda1")}, false},
        {{"hda1.img", "extra", "more"}, {list_root("hda1")}, false},
        {{"-READ", "D:\\x\\HDA1.IMG", "/etc/passwd"}, {copy}, true},
        {{"-READ", "hda1.img", "/etc/passwd", "ignored"}, {copy}, true},
        {{"-READ", "hda1.img"}, {list_root("hda1")}, true},
        {{"-READ"}, {list_root("-read")}, false},
        {{"-read", "hda1.img", "x"}, {list_root("-read")}, false},
        {{"-READX", "hda1.img", "x"}, {list_root("-readx")}, false},
        {{"-READ", ".img", "/etc/passwd"}, {}, true},
    };
    for (const auto& c : cases) {
        platform::fake::reset();
        EXPECT_EQ(run(c.arguments), c.commands) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(settings.read_mode, c.read_mode) << ::testing::PrintToString(c.arguments);
    }
}

TEST(Startup, TemporaryDirectoryFromTempThenTmpThenThePlatform) {
    const std::string too_long(260, 't');
    const struct {
        std::map<std::string, std::string> environment;
        std::string temp_dir;
    } cases[] = {
        {{{"TEMP", "/a"}, {"TMP", "/b"}}, "/a"},
        {{{"TEMP", ""}, {"TMP", "/b"}}, "/b"},
        {{{"TMP", "/b"}}, "/b"},
        {{{"TEMP", too_long}, {"TMP", "/b"}}, "/b"},
        {{{"TEMP", std::string(259, 't')}}, std::string(259, 't')},
        {{{"TEMP", too_long}, {"TMP", too_long}}, "/platform/temp"},
        {{}, "/platform/temp"},
    };
    for (const auto& c : cases) {
        platform::fake::state& fake = platform::fake::reset();
        fake.environment = c.environment;
        fake.temp_directory = "/platform/temp";
        run({});  // the temporary directory is fixed even when nothing runs
        EXPECT_EQ(settings.temp_dir, c.temp_dir);
    }
}

TEST(Startup, ToolBuildFollowsThePlatformFamily) {
    const struct {
        std::uint32_t version;
        std::string tool;
    } cases[] = {
        {0x0a280105u, "kovont.exe"},  // Windows XP
        {0x23f00206u, "kovont.exe"},  // Windows 8
        {0xc0000a04u, "kovodos.exe"},  // Windows 98
        {0x80000000u, "kovodos.exe"},
    };
    for (const auto& c : cases) {
        platform::fake::reset().version = c.version;
        const std::vector<std::string> commands = run({"hda1.img"});
        ASSERT_EQ(commands.size(), 1u);
        EXPECT_EQ(commands[0].substr(0, commands[0].find(' ')), c.tool);
        EXPECT_EQ(settings.tool_exe, c.tool);
    }
}

}  // namespace
}  // namespace kovox
