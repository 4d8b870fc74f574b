// Starts a Windows program under Wine for a test that runs on the host: Wine takes the host's TEMP,
// TMP and PATH for its own, and reads arguments in the host's encoding, so neither the
// environment nor the exact bytes of an argument would reach the program otherwise.
//
//   wine_launch.exe FOLDER [NAME=VALUE]... -- PROGRAM [HEX]...   runs PROGRAM in FOLDER with
//       these variables set (an empty VALUE removes one) and with the arguments whose bytes the
//       HEX texts spell; exits with its status
//   wine_launch.exe --ansi-to-oem   copies standard input to standard output through CharToOemBuffA
#include "windows/process.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool from_hex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]);
        const int low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

int ansi_to_oem() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::string text;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) text.append(buffer, got);
    CharToOemBuffA(text.data(), text.data(), static_cast<DWORD>(text.size()));
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--ansi-to-oem") return ansi_to_oem();
    std::size_t next = 1;
    for (; next < args.size() && args[next] != "--"; ++next) {
        const std::size_t equals = args[next].find('=');
        if (equals == std::string::npos) return 125;
        const std::string value = args[next].substr(equals + 1);
        SetEnvironmentVariableA(args[next].substr(0, equals).c_str(), value.empty() ? nullptr : value.c_str());
    }
    if (args.empty() || next + 1 >= args.size()) {
        std::fputs("usage: wine_launch.exe FOLDER [NAME=VALUE]... -- PROGRAM [HEX]...\n", stderr);
        return 125;
    }
    std::vector<std::string> arguments;
    for (std::size_t i = next + 2; i < args.size(); ++i) {
        std::string bytes;
        if (!from_hex(args[i], bytes)) return 125;
        arguments.push_back(bytes);
    }
    // Wine has been seen, rarely, to fail a CreateProcess that succeeds when made again: that is no
    // run of the program under test, so it is made again, and said.
    for (int attempt = 1;; ++attempt) {
        const int status = windows_process::run_and_wait(args[next + 1], arguments, args[0]);
        if (status >= 0) return status;
        std::fprintf(stderr, "wine_launch.exe: CreateProcess of %s failed (Windows error %lu), attempt %d\n",
                     args[next + 1].c_str(), static_cast<unsigned long>(GetLastError()), attempt);
        if (attempt == 3) return 126;
        Sleep(200);
    }
}
