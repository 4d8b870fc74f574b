// Starts programs directly, without an interpreter: fork, exec, wait, with standard output going
// into a file made anew for each run. bench/run.py sets the stand-in tool's start-up against a
// trivial static program with it, and takes from it the cost of a plain process start, the floor
// below any interpreter.
//
//   kovox_bench_spawn RUNS OUTPUT_FILE PROGRAM [ARGUMENTS...] [-- PROGRAM [ARGUMENTS...]]...
//
// Each program runs RUNS times, the programs taking turns run by run (in the order given, then in
// the reverse order, and so on), so that other work on the machine weighs on each alike. Each run
// is timed on its own; the output is one line per program: the median of its runs in milliseconds.
// Exits with 1 when a run cannot be started or ends with a status other than 0.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// One run: milliseconds, or a negative number when it could not start or did not end with 0.
double timed_run(char** program, const char* output) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        const int file = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (file < 0 || dup2(file, STDOUT_FILENO) < 0) _exit(126);
        close(file);
        execv(program[0], program);
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: kovox_bench_spawn RUNS OUTPUT_FILE PROGRAM [ARGUMENTS...] [-- PROGRAM ...]...\n");
        return 2;
    }
    const long runs = std::strtol(argv[1], nullptr, 10);
    const char* output = argv[2];
    // Each program's argv, cut out of ours at the "--" between them.
    std::vector<char**> programs{argv + 3};
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            argv[i] = nullptr;
            programs.push_back(argv + i + 1);
        }
    }
    if (runs < 1 || std::any_of(programs.begin(), programs.end(), [](char** p) { return *p == nullptr; })) {
        std::fprintf(stderr, "kovox_bench_spawn: no runs, or no program after --\n");
        return 2;
    }

    std::vector<std::vector<double>> times(programs.size());
    for (long run = 0; run < runs; ++run) {
        for (std::size_t turn = 0; turn < programs.size(); ++turn) {
            const std::size_t which = run % 2 == 0 ? turn : programs.size() - 1 - turn;
            const double milliseconds = timed_run(programs[which], output);
            if (milliseconds < 0) {
                std::fprintf(stderr, "kovox_bench_spawn: %s could not start or failed\n", programs[which][0]);
                return 1;
            }
            times[which].push_back(milliseconds);
        }
    }
    for (const std::vector<double>& program_times : times) std::printf("%.4f\n", median(program_times));
    return 0;
}
