// kovox over a disk image file of any name, case or place, for Windows file managers.
//
//   kovox-image.exe ARCHIVE               list the image, in kovox's layout
//   kovox-image.exe -READ ARCHIVE PATH    copy PATH off the image into the current folder
//
// kovox names the device after the archive's lower-case base name, and a name such as
// "ubuntu root" cannot even stand in the tool's command. So an image that holds anything is named
// to the tool directly, in KOVO_IMAGE, and kovox is asked for the device "image". An empty archive
// keeps its classic meaning: HDA1.IMG stands for the device hda1, and kovox is given the archive as
// it is. kovox.exe and the tool are taken from beside this program, else from PATH. Each run gives
// kovox a temporary folder of its own, since two runs at the same time must never share one.
//
// Unlike kovox, a copy that leaves no file ends with status 1, and a failed copy leaves nothing
// in the current folder: the copy lands in a folder of this run's own first.
#include "windows/process.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fputs("usage: kovox-image.exe ARCHIVE | kovox-image.exe -READ ARCHIVE PATH\n", stderr);
    return 2;
}

bool holds_anything(const std::string& archive) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(archive.c_str(), GetFileExInfoStandard, &data)) return false;
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (data.nFileSizeHigh != 0 || data.nFileSizeLow != 0);
}

std::string full_path(const std::string& path) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(full, length) : path;
}

// A fresh, empty folder in the user's temporary folder.
bool make_workspace(std::string& folder) {
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) return false;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        folder = std::string(temp) + "kovox-image." + std::to_string(GetCurrentProcessId()) + "." +
                 std::to_string(GetTickCount() + attempt);
        if (CreateDirectoryA(folder.c_str(), nullptr)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// Removes the folder and what kovox left in it; it holds no folders of its own.
void remove_workspace(const std::string& folder) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                if (name != "." && name != "..") remove_workspace(folder + "\\" + name);
            } else {
                DeleteFileA((folder + "\\" + name).c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

// The path's last component, as kovox names the local copy: after the last "/" or "\", and after
// a leading drive.
std::string local_name_of(const std::string& path) {
    std::string name = path.size() >= 2 && path[1] == ':' ? path.substr(2) : path;
    const std::size_t separator = name.find_last_of("\\/");
    return separator == std::string::npos ? name : name.substr(separator + 1);
}

std::string kovox_program() {
    const std::string beside = windows_process::own_folder() + "\\kovox.exe";
    if (GetFileAttributesA(beside.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // The tool lies beside kovox too: the interpreter finds it on PATH.
        char path[32767];
        const DWORD length = GetEnvironmentVariableA("PATH", path, sizeof path);
        const std::string old_path(path, length < sizeof path ? length : 0);
        SetEnvironmentVariableA("PATH", (windows_process::own_folder() + ";" + old_path).c_str());
        return beside;
    }
    char found[MAX_PATH];
    const DWORD length = SearchPathA(nullptr, "kovox.exe", nullptr, MAX_PATH, found, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(found, length) : "kovox.exe";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool copy = !args.empty() && args[0] == "-READ";
    if (args.size() != (copy ? 3u : 1u) || args.back().empty()) return usage();
    const std::string archive = args[copy ? 1 : 0];

    std::string workspace;
    if (!make_workspace(workspace)) {
        std::fputs("kovox-image: cannot make a temporary folder\n", stderr);
        return 1;
    }
    const std::string kovox = kovox_program();
    std::string device_archive = archive;
    if (holds_anything(archive)) {
        SetEnvironmentVariableA("KOVO_IMAGE", full_path(archive).c_str());
        device_archive = "image.img";
    }
    SetEnvironmentVariableA("TEMP", workspace.c_str());
    SetEnvironmentVariableA("TMP", nullptr);

    int status = 0;
    if (!copy) {
        status = windows_process::run_and_wait(kovox, {device_archive}) < 0 ? 1 : 0;
    } else {
        const std::string stored = args[2];
        const std::string name = local_name_of(stored);
        const std::string out = workspace + "\\out";
        CreateDirectoryA(out.c_str(), nullptr);
        windows_process::run_and_wait(kovox, {"-READ", device_archive, stored}, out);
        const std::string copied = out + "\\" + name;
        if (name.empty() || GetFileAttributesA(copied.c_str()) == INVALID_FILE_ATTRIBUTES ||
            !MoveFileExA(copied.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            std::fprintf(stderr, "kovox-image: %s was not copied off %s\n", stored.c_str(), archive.c_str());
            status = 1;
        }
    }
    remove_workspace(workspace);
    return status;
}
