// What only Windows does to a temporary file: while another program holds it open without sharing
// write or delete access, kovox can neither delete it nor redirect a listing into it, yet can still
// open it for reading. (On POSIX only permissions could do this, and the suites run as root there.)
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "reliability_support.h"

namespace whole_program {
namespace {

TEST_F(BrokenToolTest, TemporaryFileHeldOpenByAnotherProgramIsNeverRead) {
    const std::string held_path = temp + "/kovoxtmp.001";
    std::ofstream(held_path, std::ios::binary) << tool_file("not this listing") + tool_end_line;
    const HANDLE held = CreateFileA(native_path(held_path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string output =
        list_with({{"root", tool_folder("a") + tool_file("b") + tool_end_line}, {"a", tool_file("x") + tool_end_line}});
    CloseHandle(held);
    EXPECT_EQ(output, with_platform_line_ends(printed_folder("a") + printed_file("b")));
    EXPECT_EQ(names_in(temp), std::vector<std::string>{"kovoxtmp.001"});
}

}  // namespace
}  // namespace whole_program
