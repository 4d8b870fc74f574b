// A directory tool that misbehaves on purpose, for kovox's reliability tests only. It reads no
// device: asked to list a directory, it writes a text the test prepared, byte for byte, and exits
// with the status the test chose.
//
//   kovont.exe -s/dev/NAME "PATH"
//
// The text for PATH is the file KEY in the folder $BROKEN_TOOL_TEXTS, where KEY is PATH without
// its outer slashes and with "+" for each inner one ("root" for "/"): "/a/b/" reads "a+b". With no
// such file the file "any" stands in for every directory, which makes a tree that never ends.
// With neither, the tool writes nothing. The exit status is $BROKEN_TOOL_STATUS, else 0.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

std::string text_key(std::string path) {
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty()) return "root";
    for (char& c : path) {
        if (c == '/') c = '+';
    }
    return path;
}

bool read_text(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The text goes out exactly as prepared: no line feed may gain a carriage return.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const char* const folder = std::getenv("BROKEN_TOOL_TEXTS");
    const char* const status = std::getenv("BROKEN_TOOL_STATUS");
    if (argc != 3 || folder == nullptr) return 2;

    std::string text;
    if (read_text(std::string(folder) + "/" + text_key(argv[2]), text) ||
        read_text(std::string(folder) + "/any", text)) {
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    std::fflush(stdout);
    return status != nullptr ? std::atoi(status) : 0;
}
