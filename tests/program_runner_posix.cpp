#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "program_runner.h"

namespace whole_program {

namespace {

// Set when the Windows builds run a host test against their own programs, under Wine: the folder
// of those programs, and Wine's loader for their architecture.
const char* windows_programs() {
    const char* const folder = std::getenv("KOVOX_WINDOWS_PROGRAMS");
    return folder != nullptr && *folder != '\0' ? folder : nullptr;
}

// Wine's drive Z: is the host's root.
std::string wine_path(const std::string& path) {
    if (path.empty() || path[0] != '/') return path;
    std::string native = "Z:" + path;
    for (char& c : native) {
        if (c == '/') c = '\\';
    }
    return native;
}

std::string hex_of(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

}  // namespace

bool on_windows() { return windows_programs() != nullptr; }

std::vector<std::string> program_command(const std::string& directory, const std::string& program,
                                         const std::vector<std::string>& arguments) {
    const char* const windows = windows_programs();
    if (windows == nullptr) {
        std::vector<std::string> command{binary_directory() + "/" + program};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return command;
    }
    // Wine replaces TEMP, TMP and PATH with its own and decodes arguments as text: the launcher
    // sets the variables the programs read and passes every argument's bytes exactly.
    const char* const loader = std::getenv("KOVOX_WINE");
    std::vector<std::string> command{loader != nullptr ? loader : "wine", std::string(windows) + "/wine_launch.exe",
                                     wine_path(directory)};
    for (const char* name : {"TEMP", "TMP", "KOVO_DEVICES", "KOVO_IMAGE", "KOVO_DISK0", "KOVO_DISK1"}) {
        const char* const value = std::getenv(name);
        command.push_back(std::string(name) + "=" + wine_path(value != nullptr ? value : ""));
    }
    command.push_back("PATH=" + wine_path(windows) + ";C:\\windows\\system32;C:\\windows");
    command.push_back("--");
    const bool has_suffix = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
    command.push_back(wine_path(std::string(windows) + "/" + program + (has_suffix ? "" : ".exe")));
    for (const std::string& argument : arguments) command.push_back(hex_of(argument));
    return command;
}

std::string binary_directory() {
    // Where the Windows programs are: a listing run there finds its tool first, as on the host.
    if (const char* const windows = windows_programs()) return windows;
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string self(path, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/'));
}

std::string native_path(const std::string& directory) {
    return on_windows() ? wine_path(directory) : directory;
}

void set_environment(const std::string& name, const std::string& value) {
    if (value.empty()) {
        ::unsetenv(name.c_str());
    } else {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

// The program is started directly, not through the interpreter, so that the arguments reach it
// exactly as given, hostile ones included; kovox then runs the tool through the interpreter.
run_result run_in(const std::string& directory, const std::string& program,
                  const std::vector<std::string>& arguments) {
    const std::vector<std::string> command = program_command(directory, program, arguments);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    const std::string output_file = "/tmp/kovox-output-" + std::to_string(::getpid());
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int output = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0 || ::chdir(directory.c_str()) != 0) _exit(127);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    run_result result;
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    std::ifstream output(output_file, std::ios::binary);
    std::ostringstream text;
    text << output.rdbuf();
    result.output = text.str();
    ::unlink(output_file.c_str());
    return result;
}

std::string put_binary_directory_on_path() {
    const char* const path = std::getenv("PATH");
    const std::string old_path = path != nullptr ? path : "";
    set_environment("PATH", binary_directory() + ":" + old_path);
    return old_path;
}

}  // namespace whole_program

#include <sys/stat.h>

namespace whole_program {

entry_facts facts_of(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return {};
    return {static_cast<unsigned long long>(status.st_size), static_cast<long long>(status.st_mtime)};
}

// POSIX names are bytes, and kovox prints them as the tool wrote them.
std::string as_printed(const std::string& text) { return text; }

}  // namespace whole_program
