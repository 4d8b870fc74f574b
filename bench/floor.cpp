// The floor of a listing: the very command texts that kovox hands to system() for one device, run
// back to back through the same call and so the same interpreter, each redirected into its file as
// kovox's are, and each file deleted after its run as kovox deletes it. Nothing else: no reading,
// no parsing, no output. What kovox costs on top of this is its own work.
//
//   kovox_bench_floor COMMANDS   COMMANDS holds one command text a line, as recorded from kovox's
//                                own calls (bench/record_system.cpp); run in kovox's directory
//
// Every text and its redirection target are read and worked out before the first run, so the timed
// loop is the runs and the deletions alone. Exits with 1 when a run made no file to delete.
// Built for Linux and, by the benchmark's own cross build, for Windows, where it runs under Wine.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct tool_run {
    std::string command;
    std::string output_file;
};

// The redirection target: the quoted text after the last "> ". kovox's command texts quote it in
// double quotes, which hold no double quote (kovox does not run such a text); the scripts the POSIX
// layer hands to sh quote it in single quotes, with each ' written as '\''.
bool redirection_target(const std::string& command, std::string& target) {
    const std::size_t double_quoted = command.rfind("> \"");
    const std::size_t single_quoted = command.rfind("> '");
    const bool single = single_quoted != std::string::npos &&
                        (double_quoted == std::string::npos || single_quoted > double_quoted);
    const std::size_t start = single ? single_quoted : double_quoted;
    const std::size_t end = command.rfind(single ? '\'' : '"');
    if (start == std::string::npos || end <= start + 2) return false;
    target = command.substr(start + 3, end - start - 3);
    for (std::size_t at = 0; single && (at = target.find("'\\''", at)) != std::string::npos; ++at) {
        target.replace(at, 4, "'");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kovox_bench_floor COMMANDS\n");
        return 2;
    }
    std::ifstream input(argv[1]);
    if (!input) {
        std::fprintf(stderr, "kovox_bench_floor: cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<tool_run> runs;
    for (std::string line; std::getline(input, line);) {
        tool_run run{line, {}};
        if (!redirection_target(line, run.output_file)) {
            std::fprintf(stderr, "kovox_bench_floor: no redirection in: %s\n", line.c_str());
            return 2;
        }
        runs.push_back(std::move(run));
    }

    // A run whose redirection made no file did not run the tool: the floor would be too low.
    std::size_t missing = 0;
    for (const tool_run& run : runs) {
        static_cast<void>(std::system(run.command.c_str()));
        if (std::remove(run.output_file.c_str()) != 0) ++missing;
    }
    if (missing != 0) {
        std::fprintf(stderr, "kovox_bench_floor: %zu of %zu runs made no file\n", missing,
                     runs.size());
        return 1;
    }
    return 0;
}
