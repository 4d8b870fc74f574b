// Runs the built programs as their callers do, standard output captured into a file and read
// back byte for byte.
#pragma once

#include <string>
#include <vector>

namespace whole_program {

struct run_result {
    std::string output;
    int status = -1;
};

// Whether the programs under test are the Win32 builds (run under Wine on this machine): the
// Windows tests themselves, or a host test that the Windows builds run against their programs.
bool on_windows();

// The command that starts `program` of the programs under test in `directory` with `arguments`:
// on the host the program itself; for the Windows builds, their program under Wine, through a
// launcher that gives it the environment variables the programs read and every argument's exact
// bytes. Host runners only.
std::vector<std::string> program_command(const std::string& directory, const std::string& program,
                                         const std::vector<std::string>& arguments);

// The folder that holds kovox, the stand-in tool and these tests.
std::string binary_directory();

// `directory` as the command interpreter writes a path (a drive and backslashes on Windows).
std::string native_path(const std::string& directory);

// Sets or, with an empty value, removes an environment variable of this process and its children.
void set_environment(const std::string& name, const std::string& value);

// Puts the binary directory first on PATH, so that kovox finds the tool from any folder.
// Returns the PATH it replaced.
std::string put_binary_directory_on_path();

// Runs `program` from the binary directory with `arguments` in `directory`, standard output
// captured. The program is started directly, so every argument reaches it exactly as given.
run_result run_in(const std::string& directory, const std::string& program,
                  const std::vector<std::string>& arguments);

}  // namespace whole_program

namespace whole_program {

// What the stand-in tool reports of one entry, read without following links.
struct entry_facts {
    unsigned long long size = 0;
    long long mtime = 0;  // seconds since 1970-01-01 00:00:00 UTC
};
entry_facts facts_of(const std::string& path);

// `text`, written in UTF-8 in the tests, as kovox prints it: on Windows in the OEM code page.
std::string as_printed(const std::string& text);

}  // namespace whole_program
