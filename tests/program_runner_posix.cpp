#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "program_runner.h"

namespace whole_program {

bool on_windows() { return false; }

std::string binary_directory() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string self(path, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/'));
}

std::string native_path(const std::string& directory) { return directory; }

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
    const std::string program_path = binary_directory() + "/" + program;
    std::vector<char*> argv{const_cast<char*>(program_path.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    const std::string output_file = "/tmp/kovox-output-" + std::to_string(::getpid());
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int output = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0 || ::chdir(directory.c_str()) != 0) _exit(127);
        ::execv(program_path.c_str(), argv.data());
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
