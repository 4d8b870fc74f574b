#include <sys/wait.h>
#include <unistd.h>

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

run_result run_in(const std::string& directory, const std::string& program,
                  const std::vector<std::string>& arguments) {
    std::string command_line = "'" + binary_directory() + "/" + program + "'";
    for (const std::string& argument : arguments) command_line += " '" + argument + "'";
    const std::string output_file = "/tmp/kovox-output-" + std::to_string(::getpid());
    const std::string script =
        "cd '" + directory + "' && " + command_line + " > '" + output_file + "'";
    const int status = std::system(script.c_str());
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream output(output_file, std::ios::binary);
    std::ostringstream text;
    text << output.rdbuf();
    result.output = text.str();
    ::unlink(output_file.c_str());
    return result;
}

}  // namespace whole_program

#include <sys/stat.h>

namespace whole_program {

entry_facts facts_of(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return {};
    return {static_cast<unsigned long long>(status.st_size), static_cast<long long>(status.st_mtime)};
}

}  // namespace whole_program
