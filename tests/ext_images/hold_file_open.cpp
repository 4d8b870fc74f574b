// Holds a file open for reading and shares it with no one, as Hyper-V and WSL2 hold the VHDX of a
// running virtual machine: hold_file_open FILE HELD RELEASE creates HELD once the file is open and
// ends when RELEASE appears (or after two minutes). Windows builds only, for the tests under Wine.
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    const HANDLE held = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(held);
    for (int waited = 0; waited < 1200 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; ++waited) Sleep(100);
    CloseHandle(file);
    return 0;
}
